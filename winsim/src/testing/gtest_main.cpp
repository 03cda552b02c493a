/*
 * gtest_main.cpp (winsim testing)
 *
 * The GoogleTest main of every suite: each verifier violation becomes a failure of the
 * running test that names the stood-in call; winsim's per-test state is reset before each
 * test; and a test fails when it leaves the calling thread at raised IRQL, holding a lock,
 * or leaves behind anything it did not hold when it started.
 */
#include <winsim/verifier.h>

#include <gtest/gtest.h>

#include "../kernel/thread_context.h"

#include <set>
#include <utility>

namespace {

class VerifierListener : public testing::EmptyTestEventListener {
public:
    void OnTestStart(const testing::TestInfo & /*info*/) override
    {
        winsim::ResetForTest();
        baseline_.clear();
        for (const winsim::OutstandingItem &item : winsim::OutstandingItems()) {
            baseline_.emplace(item.kind, item.key);
        }
    }

    void OnTestEnd(const testing::TestInfo & /*info*/) override
    {
        std::string unclean = winsim::kernel::DescribeUncleanThreadState();
        if (!unclean.empty()) {
            ADD_FAILURE() << "winsim: the test thread ended " << unclean;
        }
        for (const winsim::OutstandingItem &item : winsim::OutstandingItems()) {
            if (baseline_.count({item.kind, item.key}) == 0) {
                ADD_FAILURE() << "winsim: left behind by this test: " << item.kind << ": " << item.description;
            }
        }
        if (winsim::ViolationCount() != 0 && !testing::Test::HasFailure()) {
            ADD_FAILURE() << "winsim: " << winsim::ViolationCount() << " verifier violation(s) were reported";
        }
        winsim::kernel::ResetCurrentThreadState();
    }

private:
    std::set<std::pair<std::string, const void *>> baseline_;
};

}  // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    winsim::SetViolationHandler([](const winsim::Violation &violation) {
        ADD_FAILURE() << "winsim verifier: " << violation.call << ": " << violation.message;
    });
    testing::UnitTest::GetInstance()->listeners().Append(new VerifierListener());
    return RUN_ALL_TESTS();
}
