/*
 * address_text.cpp (winsim WPP)
 *
 * Address texts for the trace renderer, through the host's inet_ntop.
 */
#include "address_text.h"

#include <arpa/inet.h>

#include <cstring>

namespace winsim::wpp {

std::string Ipv4Text(std::uint32_t networkOrder)
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr address{};
    std::memcpy(&address, &networkOrder, sizeof(networkOrder));
    inet_ntop(AF_INET, &address, text, sizeof(text));
    return text;
}

std::string Ipv6Text(const std::uint8_t *bytes)
{
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, bytes, text, sizeof(text));
    return text;
}

}  // namespace winsim::wpp
