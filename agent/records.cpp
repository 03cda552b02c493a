/*
 * records.cpp
 *
 * Building the configuration records with the layout the driver's header fixes.
 */
#include <winsim/io.h>

#include <qvr_ioctl.h>

#include "records.h"

#include <cstddef>
#include <cstring>

namespace qvr::agent {

namespace {

template <typename T>
void Put(std::vector<std::uint8_t> &bytes, std::size_t offset, T value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

}  // namespace

std::vector<std::uint8_t> BuildProcessRulesRecord(const ProcessPolicy &policy)
{
    std::vector<std::uint8_t> bytes(FIELD_OFFSET(PROCESS_RULES_RECORD, Names));
    for (const std::u16string &name : policy.names) {
        for (char16_t c : name) {
            bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
            bytes.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        bytes.push_back(0);
        bytes.push_back(0);
    }
    if (bytes.size() < PROCESS_RULES_RECORD_MIN_SIZE) {
        bytes.resize(PROCESS_RULES_RECORD_MIN_SIZE, 0);
    }
    Put<UINT32>(bytes, FIELD_OFFSET(PROCESS_RULES_RECORD, Header.Size), static_cast<UINT32>(bytes.size()));
    Put<UINT32>(bytes, FIELD_OFFSET(PROCESS_RULES_RECORD, Header.Type), QVR_RECORD_TYPE_PROCESS_RULES);
    Put<UINT32>(bytes, FIELD_OFFSET(PROCESS_RULES_RECORD, Mode), policy.interceptListed ? 1 : 0);
    Put<UINT32>(bytes, FIELD_OFFSET(PROCESS_RULES_RECORD, Count), static_cast<UINT32>(policy.names.size()));
    return bytes;
}

std::vector<std::uint8_t> BuildQuicBlockingRecord(std::uint32_t enabled)
{
    std::vector<std::uint8_t> bytes(sizeof(QUIC_BLOCKING_RECORD));
    Put<UINT32>(bytes, FIELD_OFFSET(QUIC_BLOCKING_RECORD, Header.Size), static_cast<UINT32>(bytes.size()));
    Put<UINT32>(bytes, FIELD_OFFSET(QUIC_BLOCKING_RECORD, Header.Type), QVR_RECORD_TYPE_QUIC_BLOCKING);
    Put<UINT32>(bytes, FIELD_OFFSET(QUIC_BLOCKING_RECORD, Enabled), enabled);
    return bytes;
}

}  // namespace qvr::agent
