// The driver loaded through winsim as the service control manager would, with the control
// device opened as LocalSystem, and unloaded at the end with nothing left behind. Also the
// wire records built byte by byte, independently of the agent model.
#pragma once

#include <ntddk.h>

#include <gtest/gtest.h>
#include <winsim/driver.h>
#include <winsim/io.h>
#include <winsim/verifier.h>

#include <qvr_ioctl.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace qvr_test {

inline constexpr char kDriverService[] = "qvrdrv";
inline constexpr char kControlDevice[] = "\\\\.\\" QVR_DEVICE_BASE_NAME;

// The driver's trace provider, {2FD5E1A4-F49D-452E-ACDB-FC87A8EDB322}.
inline constexpr GUID kDriverTraceGuid = {0x2FD5E1A4, 0xF49D, 0x452E, {0xAC, 0xDB, 0xFC, 0x87, 0xA8, 0xED, 0xB3, 0x22}};
inline constexpr std::uint32_t kTraceRules = 0x1;
inline constexpr std::uint32_t kTraceDriver = 0x2;

// Unloads the driver and fails the running test if anything was left behind.
void UnloadDriverClean();

// A PROCESS_RULES_RECORD: header, mode, count, then each name with its terminator. Size is
// the record's length unless given.
std::vector<std::uint8_t> RulesRecord(std::uint32_t mode, const std::vector<std::u16string> &names,
                                      std::optional<std::uint32_t> size = std::nullopt,
                                      std::uint32_t type = QVR_RECORD_TYPE_PROCESS_RULES);
// The same with Count given apart from the names that follow.
std::vector<std::uint8_t> RulesRecordWithCount(std::uint32_t mode, std::uint32_t count,
                                               const std::vector<std::u16string> &names);

std::vector<std::uint8_t> QuicRecord(std::uint32_t enabled, std::optional<std::uint32_t> size = std::nullopt,
                                     std::uint32_t type = QVR_RECORD_TYPE_QUIC_BLOCKING);

// Polls in real time for a condition that another thread (a carrier, the process watcher)
// brings about; false if it still does not hold once `limit` has passed.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

// Loads the driver (which must start) and opens the control device as LocalSystem.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    winsim::IoResult Control(ULONG code, const std::vector<std::uint8_t> &input, size_t outputLength = 0);

    winsim::Handle device_;
};

}  // namespace qvr_test
