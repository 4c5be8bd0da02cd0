// Cost of recording a failed login and of the checks every login makes, with the ban table already
// holding many addresses: logins_ban_table [ADDRESSES [FAILURES]] (defaults 40,000 and 200,000).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/LoginBans.h"

namespace {

std::string Address(long i) {
    return "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." + std::to_string(i & 255);
}

double MicrosecondsSince(std::chrono::steady_clock::time_point start, long n) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / n;
}

}  // namespace

int main(int argc, char** argv) {
    const long addresses = argc > 1 ? std::atol(argv[1]) : 40'000;
    const long failures = argc > 2 ? std::atol(argv[2]) : 200'000;
    if (addresses <= 0 || failures <= 0) {
        std::fprintf(stderr, "usage: logins_ban_table [ADDRESSES [FAILURES]]\n");
        return 2;
    }
    tw::CLoginBans bans;
    const tw::LoginLimits limits{10, 600, 20, 600};
    const std::time_t now = 1'000'000;
    // Every address banned by one failure: entries that stay for the whole run.
    const tw::LoginLimits fill{1, 600, 0, 0};
    for (long i = 0; i < addresses; ++i) bans.RecordFailure(Address(i), "nobody", now, fill);

    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < failures; ++i) bans.RecordFailure(Address(addresses + i % 1000), "alice", now + 1, limits);
    const double perFailure = MicrosecondsSince(start, failures);

    start = std::chrono::steady_clock::now();
    long refused = 0;
    for (long i = 0; i < failures; ++i)
        refused += bans.IsBanned(Address(i % (2 * addresses)), now + 1) + bans.IsLocked("alice", Address(i), now + 1);
    const double perCheck = MicrosecondsSince(start, failures);

    std::printf("%ld banned addresses: %.2f us per failure, %.2f us per login check (%ld refused)\n", addresses,
                perFailure, perCheck, refused);
    return 0;
}
