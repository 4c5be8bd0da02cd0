// Parsers of command arguments that carry addresses and times. Pure functions over untrusted text: every
// byte sequence gives a result or a refusal, never a crash (they are fuzzed).
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace tw {

// An active-mode address: its text as AddressText writes it (so it compares with a socket's peer address)
// and a port 0..65535.
struct ActiveAddress {
    std::string address;
    bool ipv6 = false;  // false for a v4-mapped address too
    int port = 0;
};

enum class AddressParse { OK, SYNTAX, BAD_VALUE, UNSUPPORTED_FAMILY };

// PORT "a0,a1,a2,a3,p0,p1" (blanks around pieces allowed): SYNTAX unless there are exactly six pieces,
// BAD_VALUE when a piece is not a decimal number 0..255.
AddressParse ParsePortArgument(std::string_view argument, ActiveAddress& out);
// EPRT "<d>1<d>a.b.c.d<d>port<d>" or "<d>2<d>IPv6 address<d>port<d>" with any delimiter <d> from '!' to
// '~': UNSUPPORTED_FAMILY for a well-formed family other than 1 and 2, BAD_VALUE for an address that is not
// of its family (dotted IPv4; IPv6 without brackets or zone) or a port outside 0..65535.
AddressParse ParseEprtArgument(std::string_view argument, ActiveAddress& out);

// "YYYYMMDDHHMMSS" in UTC (MDTM, MLSD and MLST).
std::string FormatFtpTime(std::time_t time);
// "YYYYMMDDHHMMSS" with an optional ".fraction" (ignored), UTC, years 1970..9999, every field in range.
bool ParseFtpTime(std::string_view text, std::time_t& out);

}  // namespace tw
