// IP addresses as text: strict parsers for IPv4 and IPv6 and the one way they are written. Pure functions
// over untrusted text (client arguments, list files, settings): every input gives an address or nothing.
//
// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is that IPv4 address wherever it appears, so a client on
// a dual-stack socket reads, compares and filters exactly as one on an IPv4 socket.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tw {

struct IpAddress {
    bool v6 = false;
    std::array<uint8_t, 16> bytes{};  // network order; an IPv4 address in the first four

    bool operator==(const IpAddress&) const = default;
};

// Four dot-separated decimal parts of up to three digits, each at most 255 ("010.0.0.1" is 10.0.0.1).
std::optional<IpAddress> ParseIpv4(std::string_view text);
// IPv6 in full or compressed form, optionally ending in a dotted IPv4 part; no brackets, no zone ("%eth0"),
// at most 45 characters. A v4-mapped address comes back as IPv4.
std::optional<IpAddress> ParseIpv6(std::string_view text);
// Either form.
std::optional<IpAddress> ParseIpAddress(std::string_view text);
// Sixteen bytes of an IPv6 socket address, a v4-mapped one made IPv4.
IpAddress Ipv6FromBytes(const uint8_t* bytes);

// Dotted IPv4, or IPv6 in its RFC 5952 form (lower case, the longest run of two or more zero groups as "::").
std::string AddressText(const IpAddress& address);

}  // namespace tw
