// Several threads at once: classify-path queries at DISPATCH_LEVEL while processes start
// and end (with and without notifications, with reused ids) and the rules change back and
// forth. Run under the sanitizer build it looks for memory faults and races; at the end
// every process whose start the driver saw carries the flag of the last rules.
#include "process_fixture.h"

#include <atomic>
#include <mutex>
#include <random>
#include <set>

namespace qvr_test {
namespace {

using winsim::processes::Notify;
using winsim::processes::ProcessId;

constexpr int kRuleChanges = 40;
constexpr int kChurnSteps = 1000;
constexpr int kQueryThreads = 2;

struct Tracked {
    std::mutex mutex;
    std::vector<ProcessId> running;             // started by the churn, not yet ended
    std::map<ProcessId, bool> isBrowser;        // image of each running process
    std::set<ProcessId> notified;               // their start reached the driver
};

bool ExpectedUnder(bool browsersOnly, bool isBrowser) { return browsersOnly ? isBrowser : !isBrowser; }

TEST_F(ProcessTableTest, QueriesStartsEndsAndRuleChangesTogether)
{
    SetRules(1, {u"browser.exe"});
    Tracked tracked;
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> queries{0};

    auto startOne = [&](std::mt19937 &random, std::optional<ProcessId> reuse) {
        bool browser = random() % 2 == 0;
        Notify notify = random() % 8 == 0 ? Notify::No : Notify::Yes;
        std::u16string image = ImagePath(browser ? u"Browser\\browser.exe" : u"Tools\\editor.exe");
        ProcessId id;
        if (reuse) {
            if (!winsim::processes::StartWithId(*reuse, image, notify)) {
                return;
            }
            id = *reuse;
        } else {
            id = winsim::processes::Start(image, notify);
        }
        std::lock_guard<std::mutex> lock(tracked.mutex);
        tracked.running.push_back(id);
        tracked.isBrowser[id] = browser;
        if (notify == Notify::Yes) {
            tracked.notified.insert(id);
        } else {
            tracked.notified.erase(id);
        }
    };

    std::vector<std::thread> threads;
    for (int q = 0; q < kQueryThreads; ++q) {
        threads.emplace_back([&, q] {
            std::mt19937 random(100 + q);
            while (!done.load()) {
                ProcessId id = 1000 + 4 * (random() % 200);
                BOOLEAN intercept = 2;
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                NTSTATUS status = QueryProcessIntercept(id, &intercept);
                KeLowerIrql(old);
                ASSERT_EQ(status, STATUS_SUCCESS);
                ASSERT_TRUE(intercept == TRUE || intercept == FALSE);
                ++queries;
            }
        });
    }
    std::thread churn([&] {
        std::mt19937 random(7);
        for (int step = 0; step < kChurnSteps; ++step) {
            std::optional<ProcessId> victim;
            {
                std::lock_guard<std::mutex> lock(tracked.mutex);
                if (!tracked.running.empty() && random() % 2 == 0) {
                    std::size_t index = random() % tracked.running.size();
                    victim = tracked.running[index];
                    tracked.running.erase(tracked.running.begin() + static_cast<std::ptrdiff_t>(index));
                    tracked.isBrowser.erase(*victim);
                    tracked.notified.erase(*victim);
                }
            }
            if (victim) {
                winsim::processes::End(*victim, random() % 4 == 0 ? Notify::No : Notify::Yes);
                if (random() % 3 == 0) {
                    startOne(random, victim);  // the id comes back at once
                }
            } else {
                startOne(random, std::nullopt);
            }
        }
    });
    bool browsersOnly = true;
    for (int change = 0; change < kRuleChanges; ++change) {
        browsersOnly = !browsersOnly;
        SetRules(browsersOnly ? 1 : 0, {u"browser.exe"});
    }
    churn.join();
    done = true;
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_GT(queries.load(), 0u);

    std::lock_guard<std::mutex> lock(tracked.mutex);
    for (ProcessId id : tracked.notified) {
        EXPECT_EQ(Intercepted(id), ExpectedUnder(browsersOnly, tracked.isBrowser[id]))
            << "process " << id << (tracked.isBrowser[id] ? " (browser)" : " (editor)");
    }
}

}  // namespace
}  // namespace qvr_test
