#include "platform/PasswordHash.h"

#include <crypt.h>

#include <memory>
#include <string_view>

namespace tw {

bool IsPasswordHash(const std::string& stored) {
    for (std::string_view prefix : {"$y$", "$2b$", "$6$", "$5$"})
        if (stored.starts_with(prefix)) return true;
    return false;
}

bool PasswordHashMatches(const std::string& password, const std::string& stored) {
    if (!IsPasswordHash(stored)) return false;
    auto data = std::make_unique<crypt_data>();  // about 32 KB: not on a connection thread's stack
    const char* hash = crypt_r(password.c_str(), stored.c_str(), data.get());
    // A failure gives NULL or a text starting with "*", which never equals a stored hash.
    if (!hash || hash[0] == '*') return false;
    std::string_view computed(hash);
    if (computed.size() != stored.size()) return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < stored.size(); ++i) differ |= static_cast<unsigned char>(computed[i] ^ stored[i]);
    return differ == 0;
}

std::string MakePasswordHash(const std::string& password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // No random bytes given: the library takes them from the system's random source.
    if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting)) return {};
    auto data = std::make_unique<crypt_data>();
    const char* hash = crypt_r(password.c_str(), setting, data.get());
    return hash && hash[0] != '*' ? std::string(hash) : std::string();
}

}  // namespace tw
