/*
 * callback_responder.h
 *
 * The service's side of the driver's callback channel: keeps a number of IOCTL_QVR_CALLBACK
 * carriers parked in the driver with overlapped I/O, hands each question the driver writes
 * into one to the handler registered for its type, sends the handler's answer back as a
 * reply on the same carrier (which the driver parks again), and can end a carrier with a
 * final reply.
 */
#pragma once

#include <winsim/io.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace qvr::agent {

// One question as the driver wrote it.
struct CallbackQuestion {
    std::uint32_t type = 0;                // 3 = port query, 4 = redirect records, ...
    std::uint64_t requestId = 0;           // to be quoted in the reply
    std::vector<std::uint8_t> payload;     // as the asking side laid it out
};

// What the handler wants sent back.
struct CallbackAnswer {
    std::vector<std::uint8_t> payload;     // the reply's payload (the driver needs at least one byte)
    bool final = false;                    // send as CALLBACK_TYPE_FINAL: this carrier then ends
};

// Returns the answer, or nothing to leave the question unanswered (the driver's asker
// then gives up on its own). Runs on the carrier's thread; other carriers keep serving.
// A question that has no handler (neither its type's nor a default one), or that cannot
// be parsed but still carries a request id, is answered at once with DefaultAnswer().
using CallbackHandler = std::function<std::optional<CallbackAnswer>(const CallbackQuestion &)>;

// The wire form of a reply (exposed for tests and tools that build replies by hand).
std::vector<std::uint8_t> BuildCallbackReply(std::uint64_t requestId, std::uint32_t type,
                                             const std::vector<std::uint8_t> &payload);
// Parses a driver-to-service record; nothing when it is not one.
std::optional<CallbackQuestion> ParseCallbackQuestion(const std::vector<std::uint8_t> &record);

// The service's answer to a question it cannot handle: the payload ULONG 1 ("refused")
// followed by USHORT 0. The driver treats it as a refusal (a port query fails at once and
// the connection goes on unredirected).
std::vector<std::uint8_t> DefaultAnswer();

class CallbackResponder {
public:
    // `device` must stay open while the responder runs. `outputSize` is the output buffer
    // of every carrier: it bounds the largest question that can be received.
    CallbackResponder(winsim::Handle device, std::size_t carriers, std::size_t outputSize = 4096);
    ~CallbackResponder();
    CallbackResponder(const CallbackResponder &) = delete;
    CallbackResponder &operator=(const CallbackResponder &) = delete;

    // Handlers by question type; a question of a type without one gets the default
    // handler, and without that stays unanswered.
    void SetHandler(std::uint32_t type, CallbackHandler handler);
    void SetDefaultHandler(CallbackHandler handler);

    // Starts the carriers; each parks one request at once.
    void Start();
    // Cancels every parked carrier and waits for the carriers to end. Idempotent.
    void Stop();

    // Ends one carrier after it has answered its next question: that answer goes out as a
    // final reply (whatever the handler said), and the carrier is not parked again.
    void EndOneCarrierAfterNextAnswer();

    // Counters, for tests and the simulator.
    std::size_t Parked() const;             // carriers whose request is in the driver now
    std::uint64_t QuestionsAnswered() const;
    std::uint64_t RepliesRefused() const;   // replies the driver did not take (e.g. cancelled)
    std::size_t CarriersRunning() const;

    // Waits in real time until at least `count` carriers are parked.
    bool WaitUntilParked(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    void RunCarrier();
    std::optional<CallbackAnswer> Answer(const CallbackQuestion &question);

    winsim::Handle device_;
    std::size_t carriers_;
    std::size_t outputSize_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<std::uint32_t, CallbackHandler> handlers_;
    CallbackHandler defaultHandler_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
    std::size_t parked_ = 0;
    std::size_t running_ = 0;
    std::size_t endRequests_ = 0;
    std::uint64_t answered_ = 0;
    std::uint64_t refused_ = 0;
};

}  // namespace qvr::agent
