#include "driver_fixture.h"

#include <cstring>

namespace qvr_test {

namespace {

void Append32(std::vector<std::uint8_t> &bytes, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void PatchSize(std::vector<std::uint8_t> &bytes, std::optional<std::uint32_t> size)
{
    const std::uint32_t value = size.value_or(static_cast<std::uint32_t>(bytes.size()));
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

}  // namespace

void UnloadDriverClean()
{
    winsim::UnloadResult result = winsim::UnloadDriver(kDriverService);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_TRUE(result.leftBehind.empty()) << ::testing::PrintToString(result.leftBehind);
}

std::vector<std::uint8_t> RulesRecordWithCount(std::uint32_t mode, std::uint32_t count,
                                               const std::vector<std::u16string> &names)
{
    std::vector<std::uint8_t> bytes;
    Append32(bytes, 0);
    Append32(bytes, QVR_RECORD_TYPE_PROCESS_RULES);
    Append32(bytes, mode);
    Append32(bytes, count);
    for (const std::u16string &name : names) {
        for (char16_t c : name) {
            bytes.push_back(static_cast<std::uint8_t>(c));
            bytes.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        bytes.push_back(0);
        bytes.push_back(0);
    }
    PatchSize(bytes, std::nullopt);
    return bytes;
}

std::vector<std::uint8_t> RulesRecord(std::uint32_t mode, const std::vector<std::u16string> &names,
                                      std::optional<std::uint32_t> size, std::uint32_t type)
{
    std::vector<std::uint8_t> bytes = RulesRecordWithCount(mode, static_cast<std::uint32_t>(names.size()), names);
    PatchSize(bytes, size);
    std::memcpy(bytes.data() + 4, &type, 4);
    return bytes;
}

std::vector<std::uint8_t> QuicRecord(std::uint32_t enabled, std::optional<std::uint32_t> size, std::uint32_t type)
{
    std::vector<std::uint8_t> bytes;
    Append32(bytes, 0);
    Append32(bytes, type);
    Append32(bytes, enabled);
    PatchSize(bytes, size);
    return bytes;
}

void DriverTest::SetUp()
{
    ASSERT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), STATUS_SUCCESS);
    winsim::OpenResult open = winsim::OpenDevice(kControlDevice, winsim::Identity::LocalSystem);
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    device_ = open.handle;
}

void DriverTest::TearDown()
{
    if (device_.IsOpen()) {
        winsim::CloseHandle(device_);
    }
    if (winsim::IsDriverLoaded(kDriverService)) {
        UnloadDriverClean();
    }
}

winsim::IoResult DriverTest::Control(ULONG code, const std::vector<std::uint8_t> &input, size_t outputLength)
{
    return winsim::DeviceIoControl(device_, code, input.empty() ? nullptr : input.data(), input.size(),
                                   outputLength);
}

}  // namespace qvr_test
