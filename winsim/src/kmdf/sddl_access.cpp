/*
 * sddl_access.cpp (winsim, KMDF stand-in)
 *
 * Parses the device-object SDDL subset and performs the access check that the I/O
 * manager makes when a caller opens a device: the token's user and enabled group SIDs
 * against the protected DACL's allow ACEs, generic rights mapped through the file
 * generic mapping on both sides.
 */
#include "sddl_access.h"

#include <cctype>

namespace winsim::fx {
namespace {

constexpr ACCESS_MASK kGenericRead = 0x80000000;
constexpr ACCESS_MASK kGenericWrite = 0x40000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;
constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
constexpr ACCESS_MASK kFileGenericRead = 0x00120089;
constexpr ACCESS_MASK kFileGenericWrite = 0x00120116;
constexpr ACCESS_MASK kFileGenericExecute = 0x001200A0;
constexpr ACCESS_MASK kFileAllAccess = 0x001F01FF;

struct Token {
    const char *user;
    std::vector<std::string> groups;
};

const Token &TokenOf(Identity identity)
{
    static const Token system{"S-1-5-18", {"S-1-5-32-544", "S-1-1-0", "S-1-5-11"}};
    static const Token admin{"S-1-5-21-1004336348-1177238915-682003330-500",
                             {"S-1-5-32-544", "S-1-5-32-545", "S-1-1-0", "S-1-5-11", "S-1-5-4"}};
    static const Token user{"S-1-5-21-1004336348-1177238915-682003330-1001",
                            {"S-1-5-32-545", "S-1-1-0", "S-1-5-11", "S-1-5-4"}};
    switch (identity) {
    case Identity::LocalSystem:
        return system;
    case Identity::Administrator:
        return admin;
    case Identity::User:
    default:
        return user;
    }
}

bool SidOfAlias(std::string_view alias, std::string *sid)
{
    static const struct {
        const char *alias;
        const char *sid;
    } kAliases[] = {
        {"SY", "S-1-5-18"},     {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"},
        {"WD", "S-1-1-0"},      {"AU", "S-1-5-11"},     {"IU", "S-1-5-4"},
        {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"},     {"RC", "S-1-5-12"},
    };
    for (const auto &entry : kAliases) {
        if (alias == entry.alias) {
            *sid = entry.sid;
            return true;
        }
    }
    if (alias.size() > 4 && alias.substr(0, 4) == "S-1-") {
        for (char c : alias.substr(4)) {
            if (!std::isdigit(static_cast<unsigned char>(c)) && c != '-') {
                return false;
            }
        }
        *sid = std::string(alias);
        return true;
    }
    return false;
}

bool RightsOf(std::string_view text, ACCESS_MASK *mask)
{
    static const struct {
        const char *code;
        ACCESS_MASK mask;
    } kRights[] = {
        {"GA", kGenericAll},      {"GR", kGenericRead},      {"GW", kGenericWrite},
        {"GX", kGenericExecute},  {"FA", kFileAllAccess},    {"FR", kFileGenericRead},
        {"FW", kFileGenericWrite}, {"FX", kFileGenericExecute},
    };
    if (text.empty() || text.size() % 2 != 0) {
        return false;
    }
    ACCESS_MASK result = 0;
    for (size_t i = 0; i < text.size(); i += 2) {
        std::string_view code = text.substr(i, 2);
        bool known = false;
        for (const auto &entry : kRights) {
            if (code == entry.code) {
                result |= entry.mask;
                known = true;
            }
        }
        if (!known) {
            return false;
        }
    }
    *mask = MapFileGenericAccess(result);
    return true;
}

std::vector<std::string_view> SplitFields(std::string_view ace)
{
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (size_t i = 0; i <= ace.size(); ++i) {
        if (i == ace.size() || ace[i] == ';') {
            fields.push_back(ace.substr(start, i - start));
            start = i + 1;
        }
    }
    return fields;
}

bool ParseAce(std::string_view ace, AllowAce *out, std::string *why)
{
    std::vector<std::string_view> fields = SplitFields(ace);
    if (fields.size() != 6) {
        *why = "ACE \"" + std::string(ace) + "\" does not have six fields";
        return false;
    }
    if (fields[0] != "A") {
        *why = "ACE type \"" + std::string(fields[0]) + "\" is not an access-allowed ACE (A)";
        return false;
    }
    if (!fields[1].empty() || !fields[3].empty() || !fields[4].empty()) {
        *why = "ACE \"" + std::string(ace) + "\" has flags or object GUIDs, which device objects do not use";
        return false;
    }
    if (!RightsOf(fields[2], &out->mask)) {
        *why = "rights \"" + std::string(fields[2]) + "\" are not among GA GR GW GX FA FR FW FX";
        return false;
    }
    if (!SidOfAlias(fields[5], &out->sid)) {
        *why = "SID \"" + std::string(fields[5]) + "\" is not a known alias or S-1- string";
        return false;
    }
    return true;
}

bool HasSid(const Token &token, const std::string &sid)
{
    if (sid == token.user) {
        return true;
    }
    for (const std::string &group : token.groups) {
        if (group == sid) {
            return true;
        }
    }
    return false;
}

}  // namespace

ACCESS_MASK MapFileGenericAccess(ACCESS_MASK access)
{
    ACCESS_MASK mapped = access & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
    if (access & kGenericRead) {
        mapped |= kFileGenericRead;
    }
    if (access & kGenericWrite) {
        mapped |= kFileGenericWrite;
    }
    if (access & kGenericExecute) {
        mapped |= kFileGenericExecute;
    }
    if (access & kGenericAll) {
        mapped |= kFileAllAccess;
    }
    return mapped;
}

bool ParseDeviceSddl(std::string_view sddl, DeviceSecurity *out, std::string *why)
{
    out->text = std::string(sddl);
    out->allowAces.clear();
    if (sddl.substr(0, 3) != "D:P") {
        *why = "device SDDL must start with \"D:P\" (a protected DACL)";
        return false;
    }
    std::string_view rest = sddl.substr(3);
    if (rest.empty()) {
        *why = "the DACL has no ACE";
        return false;
    }
    while (!rest.empty()) {
        if (rest.front() != '(') {
            *why = "expected \"(\" at \"" + std::string(rest) + "\"";
            return false;
        }
        size_t close = rest.find(')');
        if (close == std::string_view::npos) {
            *why = "unterminated ACE at \"" + std::string(rest) + "\"";
            return false;
        }
        AllowAce ace{};
        if (!ParseAce(rest.substr(1, close - 1), &ace, why)) {
            return false;
        }
        out->allowAces.push_back(ace);
        rest = rest.substr(close + 1);
    }
    return true;
}

NTSTATUS CheckDeviceAccess(const DeviceSecurity &security, Identity identity, ACCESS_MASK desired,
                           ACCESS_MASK *granted)
{
    const Token &token = TokenOf(identity);
    ACCESS_MASK allowed = 0;
    for (const AllowAce &ace : security.allowAces) {
        if (HasSid(token, ace.sid)) {
            allowed |= ace.mask;
        }
    }
    *granted = 0;
    if (desired & kMaximumAllowed) {
        ACCESS_MASK rest = MapFileGenericAccess(desired & ~kMaximumAllowed);
        if (allowed == 0 || (rest & ~allowed) != 0) {
            return STATUS_ACCESS_DENIED;
        }
        *granted = allowed;
        return STATUS_SUCCESS;
    }
    ACCESS_MASK wanted = MapFileGenericAccess(desired);
    if ((wanted & ~allowed) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    *granted = wanted;
    return STATUS_SUCCESS;
}

std::string DescribeIdentity(Identity identity)
{
    const Token &token = TokenOf(identity);
    std::string text = std::string("user ") + token.user + ", groups";
    for (const std::string &group : token.groups) {
        text += " " + group;
    }
    return text;
}

}  // namespace winsim::fx
