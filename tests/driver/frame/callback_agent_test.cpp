// The agent model's carriers against the loaded driver: a configured number of requests
// kept parked, each question answered through the handler of its type and the carrier
// parked again, a final reply ending one carrier, and a clean stop.
#include "callback_fixture.h"

#include "agent/callback_responder.h"
#include "agent/service.h"

#include <future>

namespace qvr_test {
namespace {

using qvr::agent::CallbackAnswer;
using qvr::agent::CallbackQuestion;
using qvr::agent::CallbackResponder;

class CallbackAgentTest : public CallbackChannelTest {
protected:
    // Asks from a thread of its own, as a work item would, and waits for the answer.
    static NTSTATUS AskAndWait(Answer *answer, UINT32 type, std::vector<std::uint8_t> payload)
    {
        NTSTATUS status = SendCallbackRequest(type, payload.data(), static_cast<UINT32>(payload.size()), RecordAnswer,
                                              answer, nullptr);
        if (NT_SUCCESS(status) && !Eventually([&] { return answer->calls == 1; })) {
            status = STATUS_TIMEOUT;
        }
        return status;
    }
};

TEST_F(CallbackAgentTest, CarriersAnswerByTypeAndParkAgain)
{
    CallbackResponder responder(device_, 3);
    responder.SetHandler(3, [](const CallbackQuestion &question) {
        CallbackAnswer answer;
        answer.payload = {0x03, static_cast<std::uint8_t>(question.payload.size())};
        return std::optional<CallbackAnswer>(answer);
    });
    responder.SetHandler(4, [](const CallbackQuestion &question) {
        CallbackAnswer answer;
        answer.payload = question.payload;  // echoes the records back
        answer.payload.push_back(0x04);
        return std::optional<CallbackAnswer>(answer);
    });
    responder.Start();
    ASSERT_TRUE(responder.WaitUntilParked(3, std::chrono::seconds(10)));

    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        Answer port, records;
        EXPECT_EQ(AskAndWait(&port, 3, {9, 9, 9}), STATUS_SUCCESS);
        EXPECT_EQ(port.payload, (std::vector<std::uint8_t>{0x03, 3}));
        EXPECT_EQ(AskAndWait(&records, 4, {7}), STATUS_SUCCESS);
        EXPECT_EQ(records.payload, (std::vector<std::uint8_t>{7, 0x04}));
        ASSERT_TRUE(responder.WaitUntilParked(3, std::chrono::seconds(10))) << "a carrier was not parked again";
    }
    EXPECT_EQ(responder.QuestionsAnswered(), 10u);
    EXPECT_EQ(responder.RepliesRefused(), 0u);

    // A question of a type nobody handles gets the service's default refusal at once.
    Answer unknown;
    ASSERT_EQ(SendCallbackRequest(9, nullptr, 0, RecordAnswer, &unknown, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(Eventually([&] { return unknown.calls == 1; }, std::chrono::seconds(1)));
    EXPECT_EQ(unknown.payload, qvr::agent::DefaultAnswer());
    ASSERT_TRUE(responder.WaitUntilParked(3, std::chrono::seconds(10)));

    responder.Stop();
    EXPECT_EQ(responder.CarriersRunning(), 0u);
    EXPECT_EQ(responder.Parked(), 0u);
}

TEST_F(CallbackAgentTest, FinalReplyEndsOneCarrier)
{
    CallbackResponder responder(device_, 2);
    responder.SetDefaultHandler([](const CallbackQuestion &) {
        return std::optional<CallbackAnswer>(CallbackAnswer{{1}, false});
    });
    responder.Start();
    ASSERT_TRUE(responder.WaitUntilParked(2, std::chrono::seconds(10)));

    responder.EndOneCarrierAfterNextAnswer();
    Answer answer;
    EXPECT_EQ(AskAndWait(&answer, 3, {5}), STATUS_SUCCESS);
    ASSERT_TRUE(Eventually([&] { return responder.CarriersRunning() == 1; }));
    EXPECT_EQ(responder.Parked(), 1u);

    // The remaining carrier still serves.
    Answer next;
    EXPECT_EQ(AskAndWait(&next, 3, {6}), STATUS_SUCCESS);
    EXPECT_EQ(next.payload, (std::vector<std::uint8_t>{1}));
}

TEST_F(CallbackAgentTest, ConcurrentAskersAreServedByAsManyCarriers)
{
    constexpr int kCarriers = 4;
    CallbackResponder responder(device_, kCarriers);
    responder.SetDefaultHandler([](const CallbackQuestion &question) {
        CallbackAnswer answer;
        for (int i = 0; i < 8; ++i) {
            answer.payload.push_back(static_cast<std::uint8_t>(question.requestId >> (8 * i)));
        }
        return std::optional<CallbackAnswer>(answer);
    });
    responder.Start();
    ASSERT_TRUE(responder.WaitUntilParked(kCarriers, std::chrono::seconds(10)));

    // Each answer carries the id it answers: no asker gets another's reply.
    std::vector<std::future<bool>> askers;
    for (int t = 0; t < kCarriers; ++t) {
        askers.push_back(std::async(std::launch::async, [] {
            for (int n = 0; n < 25; ++n) {
                Answer answer;
                UINT64 id = 0;
                if (SendCallbackRequest(3, nullptr, 0, RecordAnswer, &answer, &id) != STATUS_SUCCESS ||
                    !Eventually([&] { return answer.calls == 1; })) {
                    return false;
                }
                UINT64 echoed = 0;
                std::memcpy(&echoed, answer.payload.data(), 8);
                if (echoed != id) {
                    return false;
                }
            }
            return true;
        }));
    }
    // Waits for a carrier happen on the manual clock; let them through as they come.
    for (auto &asker : askers) {
        while (asker.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
            winsim::clock::Advance(kOneSecond / 10);
        }
        EXPECT_TRUE(asker.get());
    }
    EXPECT_EQ(responder.QuestionsAnswered(), 100u);
}

// Configuring sends both records even when the first is refused, and reports each result.
TEST_F(CallbackChannelTest, ConfigureSendsEveryRecordAndReportsEachResult)
{
    qvr::agent::AgentService service;
    ASSERT_EQ(service.Open(), STATUS_SUCCESS);
    qvr::agent::ServiceConfiguration configuration;
    configuration.policy = {true, {u"webbrowser.exe"}};
    configuration.blockQuic = true;
    winsim::faults::FailAllocationsWithTag("QVPM");  // the rule store cannot take the rules
    const NTSTATUS status = service.Configure(configuration);
    winsim::faults::Clear();

    EXPECT_FALSE(NT_SUCCESS(status));
    ASSERT_EQ(service.History().size(), 2u) << "the QUIC switch was not sent";
    EXPECT_EQ(service.History()[0].code, IOCTL_QVR_SET_PROCESS_RULES);
    EXPECT_EQ(service.History()[0].status, status);
    EXPECT_EQ(service.History()[1].code, IOCTL_QVR_SET_QUIC_BLOCKING);
    EXPECT_EQ(service.History()[1].status, STATUS_SUCCESS);
    service.Close();
}

}  // namespace
}  // namespace qvr_test
