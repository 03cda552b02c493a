/*
 * verdicts.cpp
 *
 * The service's side of the redirect-records question.
 */
#include "verdicts.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace qvr::agent {

std::optional<RedirectRecordsQuestion> ParseRedirectRecordsQuestion(const std::vector<std::uint8_t> &payload)
{
    constexpr std::size_t kHeader = 10;
    if (payload.size() < kHeader + 1) {
        return std::nullopt;
    }
    RedirectRecordsQuestion question;
    std::uint32_t length = 0;
    std::memcpy(&question.family, payload.data(), 4);
    std::memcpy(&question.remotePort, payload.data() + 4, 2);
    std::memcpy(&length, payload.data() + 6, 4);
    if (length > payload.size() - kHeader - 1) {
        return std::nullopt;
    }
    question.records.assign(payload.begin() + kHeader, payload.begin() + kHeader + length);
    // The driver's record starts with its marker wherever the records carry it.
    const std::vector<std::uint8_t> marker = BuildRedirectContextBytes({});
    auto found = std::search(question.records.begin(), question.records.end(), marker.begin(), marker.begin() + 24);
    if (found != question.records.end()) {
        question.context = ParseRedirectContext(std::vector<std::uint8_t>(found, question.records.end()));
    }
    return question;
}

std::vector<std::uint8_t> BuildVerdictReply(std::uint32_t blockFlag, std::uint16_t tag)
{
    std::vector<std::uint8_t> reply(6);
    std::memcpy(reply.data(), &tag, 2);
    std::memcpy(reply.data() + 2, &blockFlag, 4);
    return reply;
}

void VerdictLog::Add(VerdictDecision decision)
{
    std::lock_guard<std::mutex> lock(mutex_);
    decisions_.push_back(std::move(decision));
}

std::vector<VerdictDecision> VerdictLog::Decisions() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return decisions_;
}

bool PolicyBlocks(const VerdictPolicy &policy, const RedirectRecordsQuestion &question)
{
    if (!question.context) {
        return true;
    }
    const winsim::network::Endpoint &requested = question.context->requested;
    return std::any_of(policy.blocked.begin(), policy.blocked.end(), [&](const winsim::network::Endpoint &e) {
        return e.address == requested.address && (e.port == 0 || e.port == requested.port);
    });
}

CallbackHandler VerdictHandler(VerdictPolicy policy, std::shared_ptr<VerdictLog> log)
{
    return [policy = std::move(policy), log](const CallbackQuestion &raw) -> std::optional<CallbackAnswer> {
        std::optional<RedirectRecordsQuestion> question = ParseRedirectRecordsQuestion(raw.payload);
        if (!question) {
            return CallbackAnswer{std::vector<std::uint8_t>(1, 0), false};
        }
        VerdictDecision decision{*question, PolicyBlocks(policy, *question), !policy.silent};
        if (log != nullptr) {
            log->Add(decision);
        }
        if (policy.silent) {
            return std::nullopt;
        }
        if (policy.delay.count() > 0) {
            std::this_thread::sleep_for(policy.delay);
        }
        return CallbackAnswer{BuildVerdictReply(decision.block ? 1 : 0), false};
    };
}

}  // namespace qvr::agent
