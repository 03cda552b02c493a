/*
 * address_text.h (winsim WPP, internal)
 *
 * Address texts of the %!IPADDR! and %!IPV6ADDR! conversions, from the host's inet_ntop.
 * Kept apart from the Windows headers, whose in6_addr the host's socket headers redefine.
 */
#pragma once

#include <cstdint>
#include <string>

namespace winsim::wpp {

// An IPv4 address held as a 32-bit value whose memory bytes are the address in network order.
std::string Ipv4Text(std::uint32_t networkOrder);

// The 16 bytes of an IPv6 address in the compressed form of RFC 5952, as
// RtlIpv6AddressToString writes it.
std::string Ipv6Text(const std::uint8_t *bytes);

}  // namespace winsim::wpp
