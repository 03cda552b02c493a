// Who may open the control device: LocalSystem and administrators, nobody else.
#include "driver_fixture.h"

namespace qvr_test {
namespace {

struct Opener {
    const char *name;
    winsim::Identity identity;
    NTSTATUS expected;
};

class DeviceAccessTest : public DriverTest, public ::testing::WithParamInterface<Opener> {};

TEST_P(DeviceAccessTest, OnlySystemAndAdministratorsOpen)
{
    winsim::OpenResult open = winsim::OpenDevice(kControlDevice, GetParam().identity);
    EXPECT_EQ(open.status, GetParam().expected);
    EXPECT_EQ(open.handle.IsOpen(), NT_SUCCESS(GetParam().expected));
    if (open.handle.IsOpen()) {
        // Whoever gets in can configure the driver.
        std::vector<std::uint8_t> record = QuicRecord(0);
        EXPECT_EQ(winsim::DeviceIoControl(open.handle, IOCTL_QVR_SET_QUIC_BLOCKING, record, 0).status,
                  STATUS_SUCCESS);
        winsim::CloseHandle(open.handle);
    }
}

INSTANTIATE_TEST_SUITE_P(Identities, DeviceAccessTest,
                         ::testing::Values(Opener{"LocalSystem", winsim::Identity::LocalSystem, STATUS_SUCCESS},
                                           Opener{"Administrator", winsim::Identity::Administrator, STATUS_SUCCESS},
                                           Opener{"User", winsim::Identity::User, STATUS_ACCESS_DENIED}),
                         [](const ::testing::TestParamInfo<Opener> &info) { return std::string(info.param.name); });

TEST(DeviceNameTest, DeviceIsGoneAfterUnload)
{
    ASSERT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), STATUS_SUCCESS);
    UnloadDriverClean();
    EXPECT_EQ(winsim::OpenDevice(kControlDevice, winsim::Identity::LocalSystem).status, STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
}  // namespace qvr_test
