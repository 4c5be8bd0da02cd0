// One-way password hashes of the system's crypt library (libxcrypt): yescrypt, bcrypt, SHA-crypt.
#pragma once

#include <string>

namespace tw {

// True when `stored` is a hash in one of the accepted methods: "$y$", "$2b$", "$6$" or "$5$".
bool IsPasswordHash(const std::string& stored);
// True when `password` hashes to `stored` (a hash as above); compared in constant time.
bool PasswordHashMatches(const std::string& password, const std::string& stored);
// A new yescrypt hash of `password` with a fresh random salt, or "" when the library fails.
std::string MakePasswordHash(const std::string& password);

}  // namespace tw
