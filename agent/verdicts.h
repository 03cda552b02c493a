/*
 * verdicts.h
 *
 * The service's answer to the driver's redirect-records question (callback request type
 * 4): the driver holds a redirected connection at auth-connect and sends its redirect
 * records; the service looks at the destination the application asked for (the driver's
 * context record inside the records) and answers permit or block. The answer is a UINT16
 * (only traced by the driver) and a UINT32 block flag. A policy may answer late, or never.
 */
#pragma once

#include "callback_responder.h"
#include "proxy.h"

#include <winsim/network.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace qvr::agent {

inline constexpr std::uint32_t kRedirectRecordsType = 4;

// The question as the driver lays it out: u32 family, u16 remote port, u32 records length,
// the records, one spare byte.
struct RedirectRecordsQuestion {
    std::uint32_t family = 0;
    std::uint16_t remotePort = 0;              // where the held connection goes (the proxy)
    std::vector<std::uint8_t> records;         // SIO form
    std::optional<RedirectContext> context;    // the driver's record found inside them
};
std::optional<RedirectRecordsQuestion> ParseRedirectRecordsQuestion(const std::vector<std::uint8_t> &payload);

// u16 tag, u32 block flag.
std::vector<std::uint8_t> BuildVerdictReply(std::uint32_t blockFlag, std::uint16_t tag = 0);

struct VerdictPolicy {
    // Requested destinations to block; port 0 blocks every port of the address.
    std::vector<winsim::network::Endpoint> blocked;
    std::chrono::milliseconds delay{0};  // real time before answering
    bool silent = false;                 // never answer
};

// What the service saw and said, for tests and the simulator.
struct VerdictDecision {
    RedirectRecordsQuestion question;
    bool block = false;
    bool answered = false;  // false: left unanswered (silent policy)
};

class VerdictLog {
public:
    void Add(VerdictDecision decision);
    std::vector<VerdictDecision> Decisions() const;

private:
    mutable std::mutex mutex_;
    std::vector<VerdictDecision> decisions_;
};

// Whether the policy blocks the question's requested destination (no context: block).
bool PolicyBlocks(const VerdictPolicy &policy, const RedirectRecordsQuestion &question);

// A handler for CallbackResponder::SetHandler(kRedirectRecordsType, ...). A malformed
// question is answered with a 1-byte reply, which the driver takes as block.
CallbackHandler VerdictHandler(VerdictPolicy policy, std::shared_ptr<VerdictLog> log);

}  // namespace qvr::agent
