/*
 * network_address.cpp (winsim network)
 *
 * Addresses and endpoints of the control surface: construction, text form and parsing.
 * Kept apart from the stack because it uses the host's inet_pton/inet_ntop, whose socket
 * headers clash with the Windows socket types the stack works with.
 */
#include <winsim/network.h>

#include <arpa/inet.h>

#include <cstring>
#include <stdexcept>

namespace winsim::network {

Address Address::V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    Address x;
    x.family = 2;
    x.bytes = {a, b, c, d};
    return x;
}

Address Address::V6(const std::array<std::uint8_t, 16> &bytes)
{
    Address x;
    x.family = 23;
    x.bytes = bytes;
    return x;
}

Address Address::AnyV4() { return V4(0, 0, 0, 0); }
Address Address::AnyV6() { return V6({}); }
Address Address::LoopbackV4() { return V4(127, 0, 0, 1); }

Address Address::LoopbackV6()
{
    std::array<std::uint8_t, 16> b{};
    b[15] = 1;
    return V6(b);
}

Address Address::Parse(std::string_view text)
{
    std::string s(text);
    Address x;
    if (s.find(':') == std::string::npos) {
        in_addr a;
        if (inet_pton(AF_INET, s.c_str(), &a) != 1) {
            throw std::invalid_argument("not an IPv4 address: " + s);
        }
        x.family = 2;
        std::memcpy(x.bytes.data(), &a, 4);
        return x;
    }
    in6_addr a;
    if (inet_pton(AF_INET6, s.c_str(), &a) != 1) {
        throw std::invalid_argument("not an IPv6 address: " + s);
    }
    x.family = 23;
    std::memcpy(x.bytes.data(), &a, 16);
    return x;
}

bool Address::IsUnspecified() const
{
    std::size_t n = family == 2 ? 4 : 16;
    for (std::size_t i = 0; i < n; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

bool Address::IsLoopback() const
{
    if (family == 2) {
        return bytes[0] == 127;
    }
    return *this == LoopbackV6();
}

std::uint32_t Address::V4HostOrder() const
{
    return (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) | (std::uint32_t(bytes[2]) << 8) |
           bytes[3];
}

std::string Address::ToString() const
{
    char text[64];
    if (family == 2) {
        inet_ntop(AF_INET, bytes.data(), text, sizeof(text));
    } else {
        inet_ntop(AF_INET6, bytes.data(), text, sizeof(text));
    }
    return text;
}

bool Address::operator==(const Address &other) const
{
    std::size_t n = family == 2 ? 4 : 16;
    return family == other.family && std::memcmp(bytes.data(), other.bytes.data(), n) == 0;
}

Endpoint Endpoint::Parse(std::string_view text)
{
    std::string s(text);
    std::size_t colon;
    std::string host;
    if (!s.empty() && s[0] == '[') {
        std::size_t close = s.find(']');
        if (close == std::string::npos || close + 1 >= s.size() || s[close + 1] != ':') {
            throw std::invalid_argument("not an endpoint: " + s);
        }
        host = s.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = s.rfind(':');
        if (colon == std::string::npos) {
            throw std::invalid_argument("not an endpoint: " + s);
        }
        host = s.substr(0, colon);
    }
    unsigned long port = std::stoul(s.substr(colon + 1));
    if (port > 65535) {
        throw std::invalid_argument("port out of range: " + s);
    }
    return Endpoint{Address::Parse(host), static_cast<std::uint16_t>(port)};
}

std::string Endpoint::ToString() const
{
    if (address.family == 2) {
        return address.ToString() + ":" + std::to_string(port);
    }
    return "[" + address.ToString() + "]:" + std::to_string(port);
}

const char *OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Pending: return "Pending";
    case Outcome::Connected: return "Connected";
    case Outcome::Blocked: return "Blocked";
    case Outcome::Refused: return "Refused";
    case Outcome::Closed: return "Closed";
    }
    return "?";
}

}  // namespace winsim::network
