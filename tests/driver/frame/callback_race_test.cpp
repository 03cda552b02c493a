// A reply and a cancel for the same question, racing on many threads: exactly one of them
// takes the question, a routine never runs once its cancel has returned success, and
// nothing is freed while in use (meaningful under the host-asan preset).
#include "callback_fixture.h"

#include <memory>

namespace qvr_test {
namespace {

// Lets two threads start each round together (std::barrier is C++20).
class Rendezvous {
public:
    void ArriveAndWait()
    {
        const int target = (arrived_.fetch_add(1) / 2 + 1) * 2;
        while (arrived_.load() < target) {
            std::this_thread::yield();
        }
    }

private:
    std::atomic<int> arrived_{0};
};

// Staggers one side of a round by a varying amount so that both orders, and the close
// calls between them, happen.
void Stagger(int round, bool replySide)
{
    if ((round % 2 == 0) == replySide) {
        for (volatile int spin = 0; spin < (round % 7) * 150; spin = spin + 1) {
        }
    }
}

struct RacedQuestion {
    UINT64 id = 0;
    std::atomic<bool> cancelled{false};  // set once CancelCallbackRequest returned success
    std::atomic<int> calls{0};
    std::atomic<int> callsAfterCancel{0};
    NTSTATUS cancelStatus = STATUS_PENDING;
    NTSTATUS replyStatus = STATUS_PENDING;
};

_Function_class_(CALLBACK_COMPLETION_ROUTINE)
VOID RecordRacedAnswer(const VOID *Payload, UINT32 PayloadLength, PVOID Context)
{
    auto *question = static_cast<RacedQuestion *>(Context);
    // Give a late cancel every chance to slip in while the routine runs.
    std::this_thread::yield();
    if (question->cancelled) {
        ++question->callsAfterCancel;
    }
    volatile std::uint8_t sink = 0;
    for (UINT32 i = 0; i < PayloadLength; ++i) {
        sink = sink + static_cast<const std::uint8_t *>(Payload)[i];
    }
    ++question->calls;
}

TEST_F(CallbackChannelTest, ReplyRacingCancelTakesEachQuestionExactlyOnce)
{
    constexpr int kPairs = 2;     // reply/cancel thread pairs (the machine has few cores)
    constexpr int kRounds = 300;  // questions per pair
    std::vector<std::unique_ptr<RacedQuestion>> questions;

    for (int n = 0; n < kPairs * kRounds; ++n) {
        auto question = std::make_unique<RacedQuestion>();
        winsim::Overlapped carrier = Park();
        const std::vector<std::uint8_t> payload(16, 0x11);
        ASSERT_EQ(SendCallbackRequest(4, payload.data(), 16, RecordRacedAnswer, question.get(), &question->id),
                  STATUS_SUCCESS);
        ASSERT_EQ(Finish(carrier).status, STATUS_SUCCESS);
        questions.push_back(std::move(question));
    }

    std::vector<std::thread> threads;
    std::vector<winsim::Overlapped> parkedReplies;
    std::mutex parkedMutex;
    for (int pair = 0; pair < kPairs; ++pair) {
        auto meet = std::make_shared<Rendezvous>();
        threads.emplace_back([&, pair, meet] {  // replies, as the service would send them
            for (int round = 0; round < kRounds; ++round) {
                RacedQuestion &question = *questions[pair * kRounds + round];
                const std::vector<std::uint8_t> reply = Reply(question.id, std::vector<std::uint8_t>(24, 0x22), 4);
                meet->ArriveAndWait();
                Stagger(round, true);
                winsim::Overlapped io = Send(reply);
                if (io.IsComplete()) {
                    question.replyStatus = io.Result().status;
                } else {
                    question.replyStatus = STATUS_SUCCESS;  // delivered, then parked again
                    std::lock_guard<std::mutex> lock(parkedMutex);
                    parkedReplies.push_back(io);
                }
            }
        });
        threads.emplace_back([&, pair, meet] {  // cancels, as a giving-up asker would
            for (int round = 0; round < kRounds; ++round) {
                RacedQuestion &question = *questions[pair * kRounds + round];
                meet->ArriveAndWait();
                Stagger(round, false);
                question.cancelStatus = CancelCallbackRequest(question.id);
                if (question.cancelStatus == STATUS_SUCCESS) {
                    question.cancelled = true;
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }

    int cancelWins = 0;
    for (const auto &question : questions) {
        SCOPED_TRACE(question->id);
        ASSERT_TRUE(Eventually([&] { return question->calls + question->cancelled >= 1; }));
        EXPECT_EQ(question->callsAfterCancel, 0);
        if (question->cancelStatus == STATUS_SUCCESS) {
            ++cancelWins;
            EXPECT_EQ(question->calls, 0);
            EXPECT_EQ(question->replyStatus, STATUS_NOT_FOUND);
        } else {
            EXPECT_EQ(question->cancelStatus, STATUS_NOT_FOUND);
            EXPECT_EQ(question->calls, 1);
            EXPECT_EQ(question->replyStatus, STATUS_SUCCESS);
        }
    }
    // How often each side won (both should, or the race was hardly exercised).
    RecordProperty("cancelWins", cancelWins);
    EXPECT_EQ(winsim::OutstandingAllocations("QVCB"), 1u) << "only the table itself is left";

    for (const winsim::Overlapped &io : parkedReplies) {
        winsim::CancelIoEx(device_, &io);
        EXPECT_EQ(Finish(io).status, STATUS_CANCELLED);
    }
}

}  // namespace
}  // namespace qvr_test
