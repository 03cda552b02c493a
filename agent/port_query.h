/*
 * port_query.h
 *
 * The service's answer to the driver's port query (callback request type 3): the driver
 * asks, for a connection whose filter's blob asks for the port, which port the redirect
 * target listens on; the question carries the connection's address family as a ULONG, the
 * answer a ULONG result (0: success) and the USHORT port in host order.
 */
#pragma once

#include "callback_responder.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace qvr::agent {

inline constexpr std::uint32_t kPortQueryType = 3;

// The family the driver asked about (2 or 23); nothing when the payload is not 4 bytes.
std::optional<std::uint32_t> ParsePortQuery(const std::vector<std::uint8_t> &payload);

// ULONG result, USHORT port: the 6-byte reply payload.
std::vector<std::uint8_t> BuildPortQueryReply(std::uint32_t result, std::uint16_t port);

// Decides the port for a family; nothing leaves the question unanswered (a silent service).
using PortChooser = std::function<std::optional<std::uint16_t>(std::uint32_t family)>;

// A handler for CallbackResponder::SetHandler(kPortQueryType, ...): answers each question
// with the chosen port (result 0), a malformed question with result 1, and stays silent
// where the chooser says nothing.
CallbackHandler PortQueryHandler(PortChooser chooser);

// The usual chooser: the proxy's port for every family.
CallbackHandler FixedPortQueryHandler(std::uint16_t port);

}  // namespace qvr::agent
