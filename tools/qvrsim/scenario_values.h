/*
 * scenario_values.h
 *
 * The scenario reader's value parsers: each takes a word as written and the name of the
 * field it fills, and either returns the value or throws a ScenarioFailure naming the field
 * and what is wrong. Strict: nothing trails a number, bytes are whole hex pairs.
 */
#pragma once

#include <ntddk.h>

#include <winsim/io.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qvr::sim {

// A bad value: the field at fault and why.
class ScenarioFailure {
public:
    ScenarioFailure(std::string field, std::string message) : field(std::move(field)), message(std::move(message)) {}
    std::string field;
    std::string message;
};

[[noreturn]] void Fail(const std::string &field, const std::string &message);

// UTF-8 text as UTF-16 (what the driver gets); refused when not UTF-8.
std::u16string Utf16(const std::string &text, const std::string &field);
bool IsHexDigit(char c);
// Hex digit pairs without 0x, appended to *bytes (at most kMaxRawBytes in all).
void AppendHexBytes(const std::string &word, const std::string &field, std::vector<std::uint8_t> *bytes);
// Decimal, or 0x and hex digits; at most `max`.
std::uint64_t ParseNumber(const std::string &text, const std::string &field, std::uint64_t max);
// "250ms", "10s"; at most `maxMs`.
std::int64_t ParseDuration(const std::string &text, const std::string &field, std::int64_t maxMs);
winsim::Identity ParseIdentity(const std::string &text, const std::string &field);
ACCESS_MASK ParseAccess(const std::string &text, const std::string &field);
void CheckEndpoint(const std::string &text, const std::string &field);
void CheckAddress(const std::string &text, const std::string &field, std::uint16_t family);
// A scenario's name for a process or connection: letters, digits, - _ .
bool IsName(const std::string &text);

}  // namespace qvr::sim
