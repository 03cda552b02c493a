/*
 * records.h
 *
 * The service's configuration as it goes on the wire: the process policy and the QUIC
 * switch, built into the records of qvr_ioctl.h.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvr::agent {

// Which executables the driver covers.
struct ProcessPolicy {
    // true: the names are the processes to intercept; false: the names are exempt and
    // every other process is intercepted.
    bool interceptListed = true;
    std::vector<std::u16string> names;  // executable file names, e.g. u"webbrowser.exe"
};

// PROCESS_RULES_RECORD: header (Size = whole record), Mode, Count, then each name with its
// terminating zero character. An empty list still carries one zero character, so the
// record has the 18 bytes the driver requires.
std::vector<std::uint8_t> BuildProcessRulesRecord(const ProcessPolicy &policy);

// QUIC_BLOCKING_RECORD with Enabled as given.
std::vector<std::uint8_t> BuildQuicBlockingRecord(std::uint32_t enabled);

}  // namespace qvr::agent
