/*
 * trace_view.cpp
 *
 * The trace session of the simulator and the stream filter that interleaves its records
 * with the simulator's output.
 */
#include "trace_view.h"

#include <cstdlib>
#include <sstream>

namespace qvr::sim {

namespace {

constexpr char kFriendlyName[] = "qvrdrv";

const char *const kLevelNames[] = {"none", "critical", "error", "warning", "information", "verbose"};

std::optional<std::uint32_t> ParseFlags(const std::string &text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    if (text[0] >= '0' && text[0] <= '9') {
        char *end = nullptr;
        const unsigned long value = std::strtoul(text.c_str(), &end, 0);
        if (*end != '\0' || value > 0xFFFFFFFFul) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(value);
    }
    std::uint32_t flags = 0;
    std::istringstream names(text);
    for (std::string name; std::getline(names, name, '+');) {
        if (name == "rules") {
            flags |= 0x1;
        } else if (name == "driver") {
            flags |= 0x2;
        } else if (name == "all") {
            flags |= 0x3;
        } else {
            return std::nullopt;
        }
    }
    return flags;
}

std::optional<std::uint8_t> ParseLevel(const std::string &text)
{
    for (std::uint8_t level = 1; level <= TRACE_LEVEL_VERBOSE; ++level) {
        if (text == std::to_string(level) || text == kLevelNames[level]) {
            return level;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<TraceSettings> ParseTraceSettings(const std::string &text)
{
    if (text == "off") {
        return TraceSettings{0, 0};
    }
    const std::size_t comma = text.find(',');
    TraceSettings settings;
    std::optional<std::uint32_t> flags = ParseFlags(text.substr(0, comma));
    if (!flags) {
        return std::nullopt;
    }
    settings.flags = *flags;
    if (comma != std::string::npos) {
        std::optional<std::uint8_t> level = ParseLevel(text.substr(comma + 1));
        if (!level) {
            return std::nullopt;
        }
        settings.level = *level;
    }
    return settings;
}

std::string DescribeTraceSettings(const TraceSettings &settings)
{
    if (settings.flags == 0) {
        return "off";
    }
    std::ostringstream text;
    text << "flags 0x" << std::hex << settings.flags << std::dec << " (";
    const char *names[] = {"TRACE_RULES", "TRACE_DRIVER"};
    bool first = true;
    for (int bit = 0; bit < 2; ++bit) {
        if ((settings.flags & (1u << bit)) != 0) {
            text << (first ? "" : "|") << names[bit];
            first = false;
        }
    }
    if ((settings.flags & ~0x3u) != 0) {
        text << (first ? "" : "|") << "undefined bits";
    }
    text << ") up to level " << unsigned(settings.level) << " ("
         << (settings.level <= TRACE_LEVEL_VERBOSE ? kLevelNames[settings.level] : "reserved") << ")";
    return text.str();
}

TraceView::TraceView(std::ostream &out, const TraceSettings &initial)
    : out_(out), target_(out.rdbuf()), session_(kDriverTraceProvider, initial.flags, initial.level)
{
    if (initial.flags == 0) {
        session_.Disable();
    }
    out_.rdbuf(this);
}

TraceView::~TraceView()
{
    Flush();
    out_.rdbuf(target_);
}

void TraceView::Change(const TraceSettings &settings)
{
    Flush();
    if (settings.flags == 0) {
        session_.Disable();
    } else {
        session_.Enable(settings.flags, settings.level);
    }
}

void TraceView::Flush()
{
    if (!atLineStart_) {
        return;  // never inside a line of the simulator's
    }
    for (winsim::TraceRecord &record : session_.TakeRecords()) {
        const std::string line = "  | " + winsim::FormatTraceRecord(record, kFriendlyName) + "\n";
        target_->sputn(line.data(), static_cast<std::streamsize>(line.size()));
        heard_.push_back(std::move(record));
    }
}

int TraceView::overflow(int c)
{
    if (c == traits_type::eof()) {
        return traits_type::not_eof(c);
    }
    const char character = static_cast<char>(c);
    return xsputn(&character, 1) == 1 ? c : traits_type::eof();
}

std::streamsize TraceView::xsputn(const char *text, std::streamsize count)
{
    std::streamsize written = 0;
    while (written < count) {
        if (atLineStart_) {
            Flush();
        }
        std::streamsize end = written;
        while (end < count && text[end] != '\n') {
            ++end;
        }
        const bool newline = end < count;
        const std::streamsize length = end - written + (newline ? 1 : 0);
        if (target_->sputn(text + written, length) != length) {
            return written;
        }
        written += length;
        atLineStart_ = newline;
    }
    return written;
}

int TraceView::sync() { return target_->pubsync(); }

}  // namespace qvr::sim
