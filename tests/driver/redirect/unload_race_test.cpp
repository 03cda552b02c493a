// Unload racing the driver's callers: connections classified (immediate and pended
// redirects), port queries answered by the service's carriers and process starts and exits
// keep coming while the driver is stopped. Every round must unload with nothing left
// behind; under the sanitizer build no freed memory may be touched.
//
// The ordinary suite plays a few rounds. QVR_UNLOAD_RACE_ROUNDS sets how many, e.g. the
// full stress run under the sanitizers:
//   QVR_UNLOAD_RACE_ROUNDS=1000 build/host-asan/tests/driver/redirect/qvr_connect_redirect_test \
//       --gtest_filter='UnloadRaceTest.*'

#include "redirect_fixture.h"

#include <winsim/kernel.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>

namespace redirect_test {
namespace {

int Rounds()
{
    const char *text = std::getenv("QVR_UNLOAD_RACE_ROUNDS");
    const int rounds = text != nullptr ? std::atoi(text) : 0;
    return rounds > 0 ? rounds : 10;
}

class UnloadRaceTest : public RedirectTest {
protected:
    // Loads the driver again (the fixture loaded it for the first round) and gives it what
    // the service sends after every load.
    void Reload()
    {
        if (!winsim::IsDriverLoaded(qvr_test::kDriverService)) {
            ASSERT_EQ(winsim::LoadDriver(DriverEntry, qvr_test::kDriverService), STATUS_SUCCESS);
            winsim::OpenResult open = winsim::OpenDevice(qvr_test::kControlDevice, winsim::Identity::LocalSystem);
            ASSERT_EQ(open.status, STATUS_SUCCESS);
            device_ = open.handle;
        }
        InterceptOnly(u"webbrowser.exe");
        StartResponder(qvr::agent::FixedPortQueryHandler(kProxyPort), 2);
    }
};

TEST_F(UnloadRaceTest, UnloadWhileClassifiesRepliesAndProcessEventsRunLeavesNothing)
{
    const std::uint64_t browser = StartProcess(kBrowserImage);
    AddProxyFilters();
    qvr::agent::RedirectFilterOptions asking;
    asking.remotePort = 8443;
    asking.weight = 1ull << 62;  // before the immediate filters: these connections are pended
    ASSERT_EQ(filters_.AddTarget(ProxyTarget(true), asking), (DWORD)ERROR_SUCCESS);
    std::mt19937 random(0x13);

    const int rounds = Rounds();
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        Reload();
        ASSERT_FALSE(HasFatalFailure());

        std::atomic<bool> stop{false};
        std::vector<std::thread> callers;
        for (int t = 0; t < 2; ++t) {
            callers.emplace_back([&, t] {
                std::vector<winsim::network::Connection> made;
                for (int i = 0; !stop; ++i) {
                    made.push_back(Connect(browser, (i + t) % 2 == 0 ? "203.0.113.7:8443" : "203.0.113.7:443"));
                }
                for (winsim::network::Connection &connection : made) {
                    connection.WaitSettled(std::chrono::seconds(20));
                    connection.Close();
                }
            });
        }
        callers.emplace_back([&] {
            while (!stop) {
                const std::uint64_t id = winsim::processes::Start(kBrowserImage);
                winsim::processes::End(id);
            }
        });

        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        winsim::UnloadResult unloaded = winsim::UnloadDriver(qvr_test::kDriverService);
        EXPECT_EQ(unloaded.status, STATUS_SUCCESS);
        EXPECT_TRUE(unloaded.leftBehind.empty()) << ::testing::PrintToString(unloaded.leftBehind);

        stop = true;
        for (std::thread &caller : callers) {
            caller.join();
        }
        responder_->Stop();
        responder_.reset();
        winsim::network::Drain();
        winsim::DrainWorkItems();
        ASSERT_EQ(winsim::ViolationCount(), 0u);
        ASSERT_FALSE(HasFailure());
    }
}

}  // namespace
}  // namespace redirect_test
