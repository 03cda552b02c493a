/*
 * port_query.cpp
 *
 * The service's side of the port query.
 */
#include "port_query.h"

#include <cstring>

namespace qvr::agent {

std::optional<std::uint32_t> ParsePortQuery(const std::vector<std::uint8_t> &payload)
{
    if (payload.size() != sizeof(std::uint32_t)) {
        return std::nullopt;
    }
    std::uint32_t family = 0;
    std::memcpy(&family, payload.data(), sizeof(family));
    return family;
}

std::vector<std::uint8_t> BuildPortQueryReply(std::uint32_t result, std::uint16_t port)
{
    std::vector<std::uint8_t> reply(6);
    std::memcpy(reply.data(), &result, sizeof(result));
    std::memcpy(reply.data() + 4, &port, sizeof(port));
    return reply;
}

CallbackHandler PortQueryHandler(PortChooser chooser)
{
    return [chooser = std::move(chooser)](const CallbackQuestion &question) -> std::optional<CallbackAnswer> {
        std::optional<std::uint32_t> family = ParsePortQuery(question.payload);
        if (!family) {
            return CallbackAnswer{BuildPortQueryReply(1, 0), false};
        }
        std::optional<std::uint16_t> port = chooser(*family);
        if (!port) {
            return std::nullopt;
        }
        return CallbackAnswer{BuildPortQueryReply(0, *port), false};
    };
}

CallbackHandler FixedPortQueryHandler(std::uint16_t port)
{
    return PortQueryHandler([port](std::uint32_t) { return std::optional<std::uint16_t>(port); });
}

}  // namespace qvr::agent
