/*
 * scenario_values.cpp
 *
 * The scenario reader's value parsers.
 */
#include "scenario_values.h"

#include "scenario.h"

#include <winsim/network.h>

namespace qvr::sim {

void Fail(const std::string &field, const std::string &message)
{
    throw ScenarioFailure(field, message);
}

std::u16string Utf16(const std::string &text, const std::string &field)
{
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || (extra > 0 && i + static_cast<std::size_t>(extra) >= text.size())) {
            Fail(field, "not UTF-8 text");
        }
        std::uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                Fail(field, "not UTF-8 text");
            }
            code = (code << 6) | (next & 0x3F);
        }
        i += 1 + extra;
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void AppendHexBytes(const std::string &word, const std::string &field, std::vector<std::uint8_t> *bytes)
{
    if (word.size() >= 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        Fail(field, "'" + word + "': bytes are written without 0x");
    }
    for (char c : word) {
        if (!IsHexDigit(c)) {
            Fail(field, "'" + word + "': not hex digits");
        }
    }
    if (word.size() % 2 != 0) {
        Fail(field, "'" + word + "': odd number of hex digits");
    }
    for (std::size_t i = 0; i < word.size(); i += 2) {
        bytes->push_back(static_cast<std::uint8_t>(std::stoul(word.substr(i, 2), nullptr, 16)));
    }
    if (bytes->size() > kMaxRawBytes) {
        Fail(field, "more than " + std::to_string(kMaxRawBytes) + " bytes");
    }
}

std::uint64_t ParseNumber(const std::string &text, const std::string &field, std::uint64_t max)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 16) {
        Fail(field, "'" + text + "' is not a number");
    }
    for (char c : digits) {
        if (hex ? !IsHexDigit(c) : !(c >= '0' && c <= '9')) {
            Fail(field, "'" + text + "' is not a " + (hex ? "hex" : "decimal") + " number");
        }
    }
    const std::uint64_t value = std::stoull(digits, nullptr, hex ? 16 : 10);
    if (value > max || (!hex && digits.size() > 19)) {
        Fail(field, "'" + text + "' is larger than " + std::to_string(max));
    }
    return value;
}

std::int64_t ParseDuration(const std::string &text, const std::string &field, std::int64_t maxMs)
{
    std::size_t unit = text.find_first_not_of("0123456789");
    if (unit == 0 || unit == std::string::npos || unit > 9) {
        Fail(field, "'" + text + "' is not a duration (like 250ms or 10s)");
    }
    const std::string suffix = text.substr(unit);
    if (suffix != "ms" && suffix != "s") {
        Fail(field, "'" + text + "': the unit is ms or s");
    }
    const std::int64_t ms = std::stoll(text.substr(0, unit)) * (suffix == "s" ? 1000 : 1);
    if (ms > maxMs) {
        Fail(field, "'" + text + "' is longer than " + std::to_string(maxMs / 1000) + " s");
    }
    return ms;
}

winsim::Identity ParseIdentity(const std::string &text, const std::string &field)
{
    if (text == "system") return winsim::Identity::LocalSystem;
    if (text == "admin") return winsim::Identity::Administrator;
    if (text == "user") return winsim::Identity::User;
    Fail(field, "'" + text + "': one of system, admin, user");
}

ACCESS_MASK ParseAccess(const std::string &text, const std::string &field)
{
    if (text == "read") return GENERIC_READ;
    if (text == "write") return GENERIC_WRITE;
    if (text == "read-write") return GENERIC_READ | GENERIC_WRITE;
    if (text == "none") return 0;
    if (text == "maximum") return MAXIMUM_ALLOWED;
    if (text.rfind("0x", 0) == 0) {
        return static_cast<ACCESS_MASK>(ParseNumber(text, field, 0xFFFFFFFFu));
    }
    Fail(field, "'" + text + "': one of read, write, read-write, none, maximum, or 0x and a mask");
}

void CheckEndpoint(const std::string &text, const std::string &field)
{
    try {
        (void)winsim::network::Endpoint::Parse(text);
    } catch (...) {
        Fail(field, "'" + text + "' is not an address and port (203.0.113.7:443, [2001:db8::7]:443)");
    }
}

void CheckAddress(const std::string &text, const std::string &field, std::uint16_t family)
{
    try {
        if (winsim::network::Address::Parse(text).family == family) {
            return;
        }
    } catch (...) {
    }
    Fail(field, "'" + text + "' is not an " + (family == 2 ? "IPv4" : "IPv6") + " address");
}

bool IsName(const std::string &text)
{
    if (text.empty() || text.size() > 64) {
        return false;
    }
    for (char c : text) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.')) {
            return false;
        }
    }
    return true;
}

}  // namespace qvr::sim
