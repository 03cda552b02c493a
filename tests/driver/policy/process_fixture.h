// The loaded driver with the machine's processes: rules sent as the service builds them,
// answers read through QueryProcessIntercept as the classify path reads them.
#pragma once

#include "driver_fixture.h"

#include <winsim/processes.h>

#include "agent/records.h"
#include "driver/policy/process_table.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace qvr_test {

inline constexpr char16_t kVolume[] = u"\\Device\\HarddiskVolume2\\";

inline std::u16string ImagePath(const std::u16string &relative) { return kVolume + relative; }

inline bool Intercepted(winsim::processes::ProcessId id)
{
    BOOLEAN intercept = 2;
    EXPECT_EQ(QueryProcessIntercept(id, &intercept), STATUS_SUCCESS);
    EXPECT_TRUE(intercept == FALSE || intercept == TRUE);
    return intercept == TRUE;
}

// The watcher's period in 100-ns units.
inline constexpr std::int64_t kWatcherPeriod = 100000000;

class ProcessTableTest : public DriverTest {
protected:
    void SetUp() override
    {
        if (ManualClock()) {
            winsim::clock::UseManual();
        }
        DriverTest::SetUp();
        if (ManualClock()) {
            // The watcher's time-out counts from when it starts waiting.
            ASSERT_TRUE(WatcherWaiting());
        }
    }

    static bool WatcherWaiting()
    {
        return Eventually([] { return winsim::clock::Waiters() >= 1; });
    }

    void CloseAndUnload() { DriverTest::TearDown(); }

    void TearDown() override
    {
        winsim::processes::SetSnapshotHook(nullptr);
        DriverTest::TearDown();
        winsim::processes::Reset();
        winsim::clock::UseReal();
    }

    virtual bool ManualClock() const { return false; }

    void SetRules(std::uint32_t mode, const std::vector<std::u16string> &names)
    {
        qvr::agent::ProcessPolicy policy;
        policy.interceptListed = mode != 0;
        policy.names = names;
        winsim::IoResult result = Control(IOCTL_QVR_SET_PROCESS_RULES, qvr::agent::BuildProcessRulesRecord(policy));
        ASSERT_EQ(result.status, STATUS_SUCCESS);
    }

    winsim::processes::ProcessId Start(const std::u16string &relative,
                                       winsim::processes::Notify notify = winsim::processes::Notify::Yes)
    {
        return winsim::processes::Start(ImagePath(relative), notify);
    }
};

}  // namespace qvr_test
