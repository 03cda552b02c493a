/*
 * callback_responder.cpp
 *
 * The carriers of the service's callback channel. Each carrier is one thread with one
 * overlapped IOCTL_QVR_CALLBACK request at a time: parked empty, completed by the driver
 * with a question, sent back carrying the answer (the driver parks that same request
 * again), and so on until the responder stops or the carrier ends with a final reply.
 */
#include "callback_responder.h"

#include <qvr_ioctl.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace qvr::agent {

namespace {

constexpr std::size_t kHeaderSize = CALLBACK_RECORD_HEADER_SIZE;
// The reply type of the refusal sent for a record that could not be parsed (not final).
constexpr std::uint32_t kUnparsableReplyType = 0;

}  // namespace

std::vector<std::uint8_t> BuildCallbackReply(std::uint64_t requestId, std::uint32_t type,
                                             const std::vector<std::uint8_t> &payload)
{
    CALLBACK_RECORD header{};
    std::memcpy(header.Marker, QVR_CALLBACK_MARKER, QVR_CALLBACK_MARKER_SIZE);
    header.Version = QVR_CALLBACK_VERSION;
    header.Size = static_cast<std::uint32_t>(kHeaderSize + payload.size());
    header.Type = type;
    header.RequestId = requestId;
    header.PayloadLength = static_cast<std::uint32_t>(payload.size());

    // The driver reads replies of at least one byte beyond the header; an empty payload
    // is padded, its PayloadLength stays 0.
    std::vector<std::uint8_t> reply(kHeaderSize + std::max<std::size_t>(payload.size(), 1), 0);
    std::memcpy(reply.data(), &header, kHeaderSize);
    if (!payload.empty()) {
        std::memcpy(reply.data() + kHeaderSize, payload.data(), payload.size());
    }
    return reply;
}

std::optional<CallbackQuestion> ParseCallbackQuestion(const std::vector<std::uint8_t> &record)
{
    if (record.size() < kHeaderSize) {
        return std::nullopt;
    }
    CALLBACK_RECORD header{};
    std::memcpy(&header, record.data(), kHeaderSize);  // Payload[0] stays zero
    if (std::memcmp(header.Marker, QVR_CALLBACK_MARKER, QVR_CALLBACK_MARKER_SIZE) != 0 || header.Version != QVR_CALLBACK_VERSION ||
        header.PayloadLength > record.size() - kHeaderSize) {
        return std::nullopt;
    }
    CallbackQuestion question;
    question.type = header.Type;
    question.requestId = header.RequestId;
    question.payload.assign(record.begin() + kHeaderSize, record.begin() + kHeaderSize + header.PayloadLength);
    return question;
}

std::vector<std::uint8_t> DefaultAnswer() { return {1, 0, 0, 0, 0, 0}; }

namespace {

// The request id of a record too malformed to parse, when its header is all there.
std::optional<std::uint64_t> RequestIdOfUnparsable(const std::vector<std::uint8_t> &record)
{
    if (record.size() < kHeaderSize) {
        return std::nullopt;
    }
    CALLBACK_RECORD header{};
    std::memcpy(&header, record.data(), kHeaderSize);
    return header.RequestId;
}

}  // namespace

CallbackResponder::CallbackResponder(winsim::Handle device, std::size_t carriers, std::size_t outputSize)
    : device_(std::move(device)), carriers_(carriers), outputSize_(outputSize)
{
}

CallbackResponder::~CallbackResponder() { Stop(); }

void CallbackResponder::SetHandler(std::uint32_t type, CallbackHandler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[type] = std::move(handler);
}

void CallbackResponder::SetDefaultHandler(CallbackHandler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    defaultHandler_ = std::move(handler);
}

void CallbackResponder::Start()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!threads_.empty()) {
        return;
    }
    stopping_ = false;
    running_ = carriers_;
    for (std::size_t i = 0; i < carriers_; ++i) {
        threads_.emplace_back([this] { RunCarrier(); });
    }
}

void CallbackResponder::Stop()
{
    std::vector<std::thread> threads;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        // A carrier may be about to park again as the cancel goes out: cancel until all ended.
        while (running_ > 0) {
            lock.unlock();
            winsim::CancelIoEx(device_);
            lock.lock();
            changed_.wait_for(lock, std::chrono::milliseconds(20), [this] { return running_ == 0; });
        }
        threads.swap(threads_);
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
}

void CallbackResponder::EndOneCarrierAfterNextAnswer()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++endRequests_;
}

std::size_t CallbackResponder::Parked() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return parked_;
}

std::uint64_t CallbackResponder::QuestionsAnswered() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return answered_;
}

std::uint64_t CallbackResponder::RepliesRefused() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return refused_;
}

std::size_t CallbackResponder::CarriersRunning() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

bool CallbackResponder::WaitUntilParked(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return parked_ >= count; });
}

std::optional<CallbackAnswer> CallbackResponder::Answer(const CallbackQuestion &question)
{
    CallbackHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = handlers_.find(question.type);
        handler = found != handlers_.end() ? found->second : defaultHandler_;
    }
    std::optional<CallbackAnswer> answer;
    if (handler) {
        answer = handler(question);
    } else {
        answer = CallbackAnswer{DefaultAnswer(), false};
    }
    if (answer) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (endRequests_ > 0) {
            --endRequests_;
            answer->final = true;
        }
    }
    return answer;
}

void CallbackResponder::RunCarrier()
{
    std::vector<std::uint8_t> input;  // empty: park; otherwise the reply to send
    bool sendingFinal = false;

    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                break;
            }
        }
        winsim::Overlapped io = winsim::DeviceIoControlOverlapped(device_, IOCTL_QVR_CALLBACK, input, outputSize_);
        const bool pending = io.InitialStatus() == STATUS_PENDING;
        if (pending) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++parked_;
            changed_.notify_all();
        }
        while (!io.Wait(std::chrono::milliseconds(100))) {
        }
        const winsim::IoResult result = io.Result();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pending) {
                --parked_;
            }
            if (!input.empty() && !NT_SUCCESS(result.status) && result.status != STATUS_CANCELLED) {
                ++refused_;
            }
        }
        if (sendingFinal) {
            break;  // the driver completed the final reply (or refused it): this carrier is done
        }
        input.clear();
        if (result.status == STATUS_SUCCESS && result.information >= kHeaderSize) {
            std::optional<CallbackQuestion> question = ParseCallbackQuestion(result.output);
            std::optional<CallbackAnswer> answer;
            if (question) {
                answer = Answer(*question);
            } else if (std::optional<std::uint64_t> id = RequestIdOfUnparsable(result.output)) {
                // Not understood, but the asker still waits for its id: refuse it at once.
                question = CallbackQuestion{kUnparsableReplyType, *id, {}};
                answer = CallbackAnswer{DefaultAnswer(), false};
            }
            if (answer) {
                sendingFinal = answer->final;
                input = BuildCallbackReply(question->requestId, sendingFinal ? CALLBACK_TYPE_FINAL : question->type,
                                           answer->payload);
                std::lock_guard<std::mutex> lock(mutex_);
                ++answered_;
            }
            continue;
        }
        if (result.status == STATUS_INVALID_HANDLE || result.status == STATUS_NO_SUCH_DEVICE) {
            break;  // the device is gone
        }
        if (result.status != STATUS_CANCELLED && !NT_SUCCESS(result.status)) {
            // Do not spin on a driver that keeps refusing at once.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    changed_.notify_all();
}

}  // namespace qvr::agent
