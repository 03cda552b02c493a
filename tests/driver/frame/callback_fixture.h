// A loaded driver with the control device open as LocalSystem, on winsim's manual clock,
// and the helpers the callback-channel tests share: parking carriers, building replies,
// asking questions and recording what the completion routines saw.
#pragma once

#include "driver_fixture.h"

#include "agent/callback_responder.h"
#include "driver/frame/callback_channel.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace qvr_test {

inline constexpr std::int64_t kOneSecond = 10'000'000;  // 100-ns units

// What one question's completion routine saw.
struct Answer {
    std::atomic<int> calls{0};
    std::mutex mutex;
    std::vector<std::uint8_t> payload;
    UINT32 length = 0;
};

_Function_class_(CALLBACK_COMPLETION_ROUTINE)
inline VOID RecordAnswer(const VOID *Payload, UINT32 PayloadLength, PVOID Context)
{
    Answer *answer = static_cast<Answer *>(Context);
    {
        std::lock_guard<std::mutex> lock(answer->mutex);
        const auto *bytes = static_cast<const std::uint8_t *>(Payload);
        answer->payload.assign(bytes, bytes + PayloadLength);
        answer->length = PayloadLength;
    }
    ++answer->calls;
}

// The agent's reply with the version given, and without the agent's padding byte when the
// payload is empty (so a header-only reply can be sent).
inline std::vector<std::uint8_t> Reply(UINT64 id, const std::vector<std::uint8_t> &payload, UINT32 type = 3,
                                       UINT32 version = QVR_CALLBACK_VERSION)
{
    std::vector<std::uint8_t> bytes = qvr::agent::BuildCallbackReply(id, type, payload);
    bytes.resize(CALLBACK_RECORD_HEADER_SIZE + payload.size());
    std::memcpy(bytes.data() + FIELD_OFFSET(CALLBACK_RECORD, Version), &version, sizeof(version));
    return bytes;
}

// The header the driver wrote into a carrier, unpacked (gtest binds references to the
// values it compares, which a packed record's fields cannot give).
struct QuestionHeader {
    std::uint8_t marker[QVR_CALLBACK_MARKER_SIZE] = {};
    UINT32 version = 0;
    UINT32 size = 0;
    UINT32 type = 0;
    UINT64 requestId = 0;
    UINT32 payloadLength = 0;
};

inline QuestionHeader RecordOf(const winsim::IoResult &result)
{
    CALLBACK_RECORD header{};
    QuestionHeader unpacked;
    if (result.output.size() >= CALLBACK_RECORD_HEADER_SIZE) {
        std::memcpy(&header, result.output.data(), CALLBACK_RECORD_HEADER_SIZE);
        std::memcpy(unpacked.marker, header.Marker, sizeof(unpacked.marker));
        unpacked.version = header.Version;
        unpacked.size = header.Size;
        unpacked.type = header.Type;
        unpacked.requestId = header.RequestId;
        unpacked.payloadLength = header.PayloadLength;
    }
    return unpacked;
}

class CallbackChannelTest : public DriverTest {
protected:
    void SetUp() override
    {
        winsim::clock::UseManual();
        DriverTest::SetUp();
        // The driver's own timed waits (the process watcher's period) are not senders.
        Eventually([] { return winsim::clock::Waiters() >= 1; }, std::chrono::milliseconds(500));
        otherWaiters_ = winsim::clock::Waiters();
    }

    // True once `count` senders are blocked in their wait for a carrier.
    bool SendersWaiting(std::size_t count) const
    {
        return Eventually([&] { return winsim::clock::Waiters() == otherWaiters_ + count; });
    }

    void TearDown() override
    {
        DriverTest::TearDown();
        winsim::clock::UseReal();
    }

    static void Unload() { UnloadDriverClean(); }

    // Parks an empty IOCTL_QVR_CALLBACK request as a carrier.
    winsim::Overlapped Park(std::size_t outputLength = 256)
    {
        winsim::Overlapped io = winsim::DeviceIoControlOverlapped(device_, IOCTL_QVR_CALLBACK, nullptr, 0, outputLength);
        EXPECT_EQ(io.InitialStatus(), STATUS_PENDING);
        return io;
    }

    // Sends bytes as IOCTL_QVR_CALLBACK without waiting for them.
    winsim::Overlapped Send(const std::vector<std::uint8_t> &input, std::size_t outputLength = 256)
    {
        return winsim::DeviceIoControlOverlapped(device_, IOCTL_QVR_CALLBACK, input, outputLength);
    }

    // Asks one question on an already parked carrier; returns its id (0 on failure).
    UINT64 Ask(Answer *answer, std::vector<std::uint8_t> payload = {0xAB}, UINT32 type = 3)
    {
        UINT64 id = 0;
        EXPECT_EQ(SendCallbackRequest(type, payload.data(), static_cast<UINT32>(payload.size()), RecordAnswer, answer, &id),
                  STATUS_SUCCESS);
        return id;
    }

    static winsim::IoResult Finish(const winsim::Overlapped &io)
    {
        EXPECT_TRUE(io.Wait(std::chrono::seconds(10))) << "request still outstanding";
        return io.Result();
    }

    std::size_t otherWaiters_ = 0;
};

}  // namespace qvr_test
