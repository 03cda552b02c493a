// The callback channel seen from both ends: questions numbered and delivered on parked
// carriers, the 5-second wait for a carrier on winsim's clock, replies matched by id with
// the failure statuses the service gets, cancels, and unload with work outstanding.
#include "callback_fixture.h"

#include <future>

namespace qvr_test {
namespace {

TEST_F(CallbackChannelTest, QuestionsAreNumberedFromOneAndWrittenIntoTheCarrier)
{
    // A carrier too small for the record fails the question before it is numbered.
    winsim::Overlapped tooSmall = Park(CALLBACK_RECORD_HEADER_SIZE + 2);
    const std::vector<std::uint8_t> payload = {1, 2, 3};
    EXPECT_EQ(SendCallbackRequest(3, payload.data(), 3, nullptr, nullptr, nullptr), STATUS_BUFFER_TOO_SMALL);
    winsim::IoResult failed = Finish(tooSmall);
    EXPECT_EQ(failed.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(failed.information, 0u);

    for (UINT64 expected = 1; expected <= 3; ++expected) {
        winsim::Overlapped carrier = Park();
        UINT64 id = 0;
        ASSERT_EQ(SendCallbackRequest(4, payload.data(), 3, nullptr, nullptr, &id), STATUS_SUCCESS);
        EXPECT_EQ(id, expected);
        winsim::IoResult result = Finish(carrier);
        ASSERT_EQ(result.status, STATUS_SUCCESS);
        ASSERT_EQ(result.information, CALLBACK_RECORD_HEADER_SIZE + 3);
        const QuestionHeader record = RecordOf(result);
        EXPECT_EQ(std::memcmp(record.marker, "QVR_CBR", 8), 0);
        EXPECT_EQ(record.version, 2u);
        EXPECT_EQ(record.size, CALLBACK_RECORD_HEADER_SIZE + 3);
        EXPECT_EQ(record.type, 4u);
        EXPECT_EQ(record.requestId, expected);
        EXPECT_EQ(record.payloadLength, 3u);
        EXPECT_EQ(std::vector<std::uint8_t>(result.output.begin() + CALLBACK_RECORD_HEADER_SIZE, result.output.end()),
                  payload);
    }
    // A payload whose record would not fit a ULONG is refused before a carrier is taken,
    // without the size wrapping (a 32-bit size_t).
    for (UINT32 length : {UINT32(MAXULONG - CALLBACK_RECORD_HEADER_SIZE + 1), UINT32(MAXULONG)}) {
        EXPECT_EQ(SendCallbackRequest(3, payload.data(), length, nullptr, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    }
    // Questions without payload carry the bare header.
    winsim::Overlapped carrier = Park(CALLBACK_RECORD_HEADER_SIZE);
    UINT64 id = 0;
    ASSERT_EQ(SendCallbackRequest(3, nullptr, 0, nullptr, nullptr, &id), STATUS_SUCCESS);
    EXPECT_EQ(id, 4u);
    EXPECT_EQ(Finish(carrier).information, CALLBACK_RECORD_HEADER_SIZE);
    EXPECT_EQ(CancelCallbackRequest(id), STATUS_SUCCESS);
    for (UINT64 answered = 1; answered <= 3; ++answered) {
        EXPECT_EQ(CancelCallbackRequest(answered), STATUS_SUCCESS);
    }
}

// The size guard on lengths around both limits: a record size must fit a ULONG, and a
// length whose sum with the header wraps the size_t (any width) is refused, not let through.
TEST(CallbackRecordFitsTest, LengthsAroundTheLimits)
{
    const size_t header = CALLBACK_RECORD_HEADER_SIZE;
    const struct {
        size_t length;
        bool fits;
    } cases[] = {
        {0, true},
        {size_t(MAXULONG) - header, true},
        {size_t(MAXULONG) - header + 1, false},
        {size_t(MAXULONG), false},
        {SIZE_MAX - header + 1, false},  // header + length is 0
        {SIZE_MAX, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(CallbackRecordFits(c.length) != FALSE, c.fits) << "length " << c.length;
    }
}

// Out of memory after numbering: the carrier carries the failure to the service and the
// number is spent; nothing stays in the table. The entry's node is untagged, so it is failed
// by its call site (the table's allocation, seen in a recorded send), not by a tag.
TEST_F(CallbackChannelTest, AllocationFailuresCompleteTheCarrierWithTheirStatus)
{
    const std::size_t recordsBefore = winsim::OutstandingAllocations("QVCB");
    winsim::Overlapped recorded = Park();
    winsim::faults::StartRecording();
    UINT64 id = 0;
    ASSERT_EQ(SendCallbackRequest(3, nullptr, 0, nullptr, nullptr, &id), STATUS_SUCCESS);
    const std::vector<winsim::faults::FallibleCall> calls = winsim::faults::StopRecording();
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(Finish(recorded).status, STATUS_SUCCESS);
    EXPECT_EQ(CancelCallbackRequest(id), STATUS_SUCCESS);
    const void *nodeSite = nullptr;
    for (const winsim::faults::FallibleCall &call : calls) {
        if (call.call == "ExAllocatePoolWithTag" &&
            winsim::faults::DescribeSite(call.site).find("locked_avl_table.cpp") != std::string::npos) {
            nodeSite = call.site;
        }
    }
    ASSERT_NE(nodeSite, nullptr) << "a send allocates its entry through the table";

    struct Case {
        const char *what;
        NTSTATUS status;
    };
    const Case cases[] = {{"completion record", STATUS_INSUFFICIENT_RESOURCES}, {"entry", STATUS_NO_MEMORY}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        winsim::Overlapped carrier = Park();
        if (c.status == STATUS_INSUFFICIENT_RESOURCES) {
            winsim::faults::FailAllocationsWithTag("QVCB");
        } else {
            winsim::faults::FailAtSite(nodeSite, 1, STATUS_NO_MEMORY);
        }
        EXPECT_EQ(SendCallbackRequest(3, nullptr, 0, nullptr, nullptr, nullptr), c.status);
        winsim::faults::Clear();
        winsim::IoResult result = Finish(carrier);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.information, 0u);
        EXPECT_EQ(winsim::OutstandingAllocations("QVCB"), recordsBefore);
    }
    winsim::Overlapped carrier = Park();
    ASSERT_EQ(SendCallbackRequest(3, nullptr, 0, nullptr, nullptr, &id), STATUS_SUCCESS);
    EXPECT_EQ(id, 4u);
    EXPECT_EQ(CancelCallbackRequest(id), STATUS_SUCCESS);
}

TEST_F(CallbackChannelTest, SenderWithoutCarrierWaitsFiveSecondsThenGivesUp)
{
    auto sender = std::async(std::launch::async, [] {
        return SendCallbackRequest(3, nullptr, 0, nullptr, nullptr, nullptr);
    });
    ASSERT_TRUE(SendersWaiting(1));
    winsim::clock::Advance(5 * kOneSecond - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sender.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << "gave up before 5 s";
    winsim::clock::Advance(1);
    ASSERT_EQ(sender.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(sender.get(), STATUS_NO_MORE_ENTRIES);

    // Nothing was numbered, and a carrier parked now is still there for the next sender.
    winsim::Overlapped carrier = Park();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(carrier.IsComplete());
    UINT64 id = 0;
    ASSERT_EQ(SendCallbackRequest(3, nullptr, 0, nullptr, nullptr, &id), STATUS_SUCCESS);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(CancelCallbackRequest(id), STATUS_SUCCESS);
}

TEST_F(CallbackChannelTest, OneParkedCarrierReleasesExactlyOneWaitingSender)
{
    auto send = [] { return SendCallbackRequest(3, nullptr, 0, nullptr, nullptr, nullptr); };
    auto first = std::async(std::launch::async, send);
    auto second = std::async(std::launch::async, send);
    ASSERT_TRUE(SendersWaiting(2));

    winsim::Overlapped carrier = Send({});  // a waiting sender may take it before this returns
    EXPECT_EQ(Finish(carrier).status, STATUS_SUCCESS);
    auto ready = [](std::future<NTSTATUS> &f) { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    ASSERT_TRUE(Eventually([&] { return ready(first) || ready(second); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(ready(first), ready(second)) << "one carrier released both senders";
    EXPECT_TRUE(SendersWaiting(1));
    std::future<NTSTATUS> &released = ready(first) ? first : second;
    std::future<NTSTATUS> &waiting = ready(first) ? second : first;
    EXPECT_EQ(released.get(), STATUS_SUCCESS);

    winsim::clock::Advance(5 * kOneSecond);
    EXPECT_EQ(waiting.get(), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(CancelCallbackRequest(1), STATUS_SUCCESS);
}

// Carriers parked back to back make one empty-to-non-empty change, so the queue signals
// once; every waiting sender must still get a carrier.
TEST_F(CallbackChannelTest, CarriersParkedTogetherReleaseAsManyWaitingSenders)
{
    constexpr int kSenders = 3;
    std::vector<std::future<NTSTATUS>> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.push_back(std::async(std::launch::async, [] {
            return SendCallbackRequest(3, nullptr, 0, nullptr, nullptr, nullptr);
        }));
    }
    ASSERT_TRUE(SendersWaiting(kSenders));
    std::vector<winsim::Overlapped> carriers;
    for (int i = 0; i < kSenders; ++i) {
        carriers.push_back(Send({}));
    }
    for (auto &sender : senders) {
        if (sender.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "a sender was left waiting";
            winsim::clock::Advance(5 * kOneSecond);  // let it give up, so the test can end
        }
        EXPECT_EQ(sender.get(), STATUS_SUCCESS);
    }
    for (const winsim::Overlapped &carrier : carriers) {
        EXPECT_EQ(Finish(carrier).status, STATUS_SUCCESS);
    }
    for (UINT64 id = 1; id <= kSenders; ++id) {
        EXPECT_EQ(CancelCallbackRequest(id), STATUS_SUCCESS);
    }
}

// A carrier taken without waiting leaves the queue's signal behind; the next sender that
// finds no carrier must still wait its full time instead of failing on the old signal.
TEST_F(CallbackChannelTest, LeftoverSignalDoesNotCutTheWaitShort)
{
    winsim::Overlapped carrier = Park();
    UINT64 first = 0;
    ASSERT_EQ(SendCallbackRequest(3, nullptr, 0, nullptr, nullptr, &first), STATUS_SUCCESS);
    EXPECT_EQ(Finish(carrier).status, STATUS_SUCCESS);

    auto sender = std::async(std::launch::async, [] {
        UINT64 id = 0;
        const NTSTATUS status = SendCallbackRequest(3, nullptr, 0, nullptr, nullptr, &id);
        return std::make_pair(status, id);
    });
    ASSERT_TRUE(SendersWaiting(1));
    winsim::clock::Advance(3 * kOneSecond);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(sender.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    winsim::Overlapped late = Send({});
    ASSERT_EQ(sender.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto [status, id] = sender.get();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(id, first + 1);
    EXPECT_EQ(Finish(late).status, STATUS_SUCCESS);

    // The time left after a wasted wake-up still ends the wait at 5 s in all.
    auto giveUp = std::async(std::launch::async, [] { return SendCallbackRequest(3, nullptr, 0, nullptr, nullptr, nullptr); });
    ASSERT_TRUE(SendersWaiting(1));
    winsim::clock::Advance(5 * kOneSecond);
    ASSERT_EQ(giveUp.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(giveUp.get(), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(CancelCallbackRequest(first), STATUS_SUCCESS);
    EXPECT_EQ(CancelCallbackRequest(id), STATUS_SUCCESS);
}

TEST_F(CallbackChannelTest, SenderAtDispatchLevelFailsAtOnceWithoutWaiting)
{
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    const NTSTATUS status = SendCallbackRequest(3, nullptr, 0, nullptr, nullptr, nullptr);
    KeLowerIrql(oldIrql);
    EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);

    // With a carrier parked the same sender succeeds at DISPATCH_LEVEL.
    winsim::Overlapped carrier = Park();
    UINT64 id = 0;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    const NTSTATUS sent = SendCallbackRequest(3, nullptr, 0, nullptr, nullptr, &id);
    KeLowerIrql(oldIrql);
    EXPECT_EQ(sent, STATUS_SUCCESS);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(Finish(carrier).status, STATUS_SUCCESS);
    EXPECT_EQ(CancelCallbackRequest(id), STATUS_SUCCESS);
}

TEST_F(CallbackChannelTest, RejectedRepliesChangeNothing)
{
    winsim::Overlapped carrier = Park();
    Answer answer;
    const UINT64 id = Ask(&answer);
    ASSERT_EQ(Finish(carrier).status, STATUS_SUCCESS);

    auto withMarker = [&](const char (&marker)[9]) {
        std::vector<std::uint8_t> bytes = Reply(id, {7});
        std::memcpy(bytes.data(), marker, 8);
        return bytes;
    };
    auto claiming = [&](UINT32 payloadLength, std::vector<std::uint8_t> payload) {
        std::vector<std::uint8_t> bytes = Reply(id, std::move(payload));
        std::memcpy(bytes.data() + 28, &payloadLength, 4);
        return bytes;
    };
    std::vector<std::uint8_t> headerOnly = Reply(id, {});
    struct Case {
        const char *name;
        std::vector<std::uint8_t> input;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"one byte", {0x51}, STATUS_BUFFER_TOO_SMALL},
        {"header without payload byte", headerOnly, STATUS_BUFFER_TOO_SMALL},
        {"wrong marker", withMarker("QVR_CBX\0"), STATUS_INVALID_PARAMETER},
        {"marker without its zero", withMarker("QVR_CBRQ"), STATUS_INVALID_PARAMETER},
        {"version 1", Reply(id, {7}, 3, 1), STATUS_INVALID_PARAMETER},
        {"version 3", Reply(id, {7}, 3, 3), STATUS_INVALID_PARAMETER},
        {"payload length past the input", claiming(2, {7}), STATUS_INVALID_PARAMETER},
        {"payload length 0xFFFFFFFF", claiming(0xFFFFFFFFu, {7, 8, 9}), STATUS_INVALID_PARAMETER},
        {"final reply with a wrong version", Reply(id, {7}, CALLBACK_TYPE_FINAL, 1), STATUS_INVALID_PARAMETER},
        {"unknown id", Reply(id + 1, {7}), STATUS_NOT_FOUND},
        {"id 0", Reply(0, {7}), STATUS_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        winsim::IoResult result = Finish(Send(c.input));
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.information, 0u);
        EXPECT_EQ(answer.calls, 0);
    }

    // The question is still there: the genuine reply gets through, once.
    winsim::Overlapped reply = Send(Reply(id, {9, 8, 7}));
    ASSERT_TRUE(Eventually([&] { return answer.calls == 1; }));
    EXPECT_EQ(answer.payload, (std::vector<std::uint8_t>{9, 8, 7}));
    EXPECT_EQ(answer.length, 3u);
    EXPECT_FALSE(reply.IsComplete()) << "an answered reply is parked as the next carrier";
    EXPECT_EQ(Finish(Send(Reply(id, {1}))).status, STATUS_NOT_FOUND);
    EXPECT_EQ(answer.calls, 1);
    EXPECT_EQ(CancelCallbackRequest(id), STATUS_NOT_FOUND);
    winsim::CancelIoEx(device_, &reply);
    EXPECT_EQ(Finish(reply).status, STATUS_CANCELLED);
}

TEST_F(CallbackChannelTest, FinalReplyEndsTheCarrierAnyOtherCarriesTheNextQuestion)
{
    winsim::Overlapped carrier = Park();
    Answer first;
    const UINT64 firstId = Ask(&first, {1});
    ASSERT_EQ(Finish(carrier).status, STATUS_SUCCESS);
    winsim::IoResult ended = Finish(Send(Reply(firstId, {5}, CALLBACK_TYPE_FINAL)));
    EXPECT_EQ(ended.status, STATUS_SUCCESS);
    EXPECT_EQ(ended.information, 0u);
    EXPECT_EQ(first.calls, 1);

    carrier = Park();
    Answer second;
    const UINT64 secondId = Ask(&second, {2});
    ASSERT_EQ(Finish(carrier).status, STATUS_SUCCESS);
    winsim::Overlapped reply = Send(Reply(secondId, {6}, 4));
    ASSERT_TRUE(Eventually([&] { return second.calls == 1; }));
    EXPECT_FALSE(reply.IsComplete());

    // The reply request is the next carrier: the next question goes out on it.
    Answer third;
    const UINT64 thirdId = Ask(&third, {3, 3});
    winsim::IoResult next = Finish(reply);
    ASSERT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(RecordOf(next).requestId, thirdId);
    EXPECT_EQ(thirdId, secondId + 1);
    EXPECT_EQ(CancelCallbackRequest(thirdId), STATUS_SUCCESS);
}

TEST_F(CallbackChannelTest, CancelTakesTheQuestionAndTheReplyFindsNothing)
{
    winsim::Overlapped carrier = Park();
    Answer answer;
    const UINT64 id = Ask(&answer);
    ASSERT_EQ(Finish(carrier).status, STATUS_SUCCESS);
    const std::size_t records = winsim::OutstandingAllocations("QVCB");

    EXPECT_EQ(CancelCallbackRequest(id), STATUS_SUCCESS);
    EXPECT_EQ(winsim::OutstandingAllocations("QVCB"), records - 1) << "completion record freed";
    EXPECT_EQ(CancelCallbackRequest(id), STATUS_NOT_FOUND);
    EXPECT_EQ(CancelCallbackRequest(id + 100), STATUS_NOT_FOUND);
    EXPECT_EQ(Finish(Send(Reply(id, {1}))).status, STATUS_NOT_FOUND);
    EXPECT_EQ(answer.calls, 0);
}

TEST_F(CallbackChannelTest, EmptyRequestStaysParkedUntilTheServiceCancelsIt)
{
    winsim::Overlapped carrier = Park();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(carrier.IsComplete());
    EXPECT_EQ(winsim::CancelIoEx(device_, &carrier), STATUS_SUCCESS);
    winsim::IoResult result = Finish(carrier);
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.information, 0u);
}

TEST_F(CallbackChannelTest, UnloadDropsQuestionsWithoutCallingRoutinesAndLeavesNoCarrier)
{
    Answer answers[3];
    for (Answer &answer : answers) {
        winsim::Overlapped carrier = Park();
        Ask(&answer);
        ASSERT_EQ(Finish(carrier).status, STATUS_SUCCESS);
    }
    winsim::Overlapped parked[2] = {Park(), Park()};
    winsim::Overlapped parkedReply = Send(Reply(2, {1}));
    ASSERT_TRUE(Eventually([&] { return answers[1].calls == 1; }));

    Unload();  // fails the test if a request, a question or a record is left behind
    for (const winsim::Overlapped &io : parked) {
        EXPECT_EQ(Finish(io).status, STATUS_CANCELLED);
    }
    EXPECT_EQ(Finish(parkedReply).status, STATUS_CANCELLED);
    EXPECT_EQ(answers[0].calls, 0);
    EXPECT_EQ(answers[2].calls, 0);
    EXPECT_EQ(winsim::OutstandingAllocations("QVCB"), 0u);
}

}  // namespace
}  // namespace qvr_test
