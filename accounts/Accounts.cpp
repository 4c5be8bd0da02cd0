#include "accounts/Accounts.h"

#include "platform/PasswordHash.h"
#include "platform/Text.h"

namespace tw {

namespace {

// Letters of the nine-letter form, in its order, with the flag each stands for.
struct RightLetter {
    char letter;
    bool RightsSet::*flag;
};
constexpr RightLetter kLetters[9] = {
    {'R', &RightsSet::read},    {'W', &RightsSet::write},     {'D', &RightsSet::del},
    {'R', &RightsSet::rename},  {'A', &RightsSet::append},    {'L', &RightsSet::dirList},
    {'C', &RightsSet::dirCreate}, {'R', &RightsSet::dirRemove}, {'R', &RightsSet::dirRename},
};

constexpr char kScrambleKey[] = "quorbel";

}  // namespace

bool RightsSet::Allows(AccessOp op) const {
    switch (op) {
        case ACCESS_READ: return read;
        case ACCESS_WRITE: return write;
        case ACCESS_RENAME: return rename;
        case ACCESS_DELETE: return del;
        case ACCESS_APPEND: return append;
        case ACCESS_DIR_LIST: return dirList;
        case ACCESS_DIR_CREATE: return dirCreate;
        case ACCESS_DIR_REMOVE: return dirRemove;
        case ACCESS_DIR_RENAME: return dirRename;
    }
    return false;
}

std::string RightsSet::ToString() const {
    std::string text;
    for (const auto& l : kLetters) text += this->*l.flag ? l.letter : '-';
    return text;
}

std::optional<RightsSet> RightsSet::FromString(const std::string& text) {
    if (text.size() != 9) return std::nullopt;
    RightsSet rights;
    for (size_t i = 0; i < 9; ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (c == kLetters[i].letter)
            rights.*kLetters[i].flag = true;
        else if (c != '-')
            return std::nullopt;
    }
    return rights;
}

std::vector<int> DecodeGroupIds(const std::string& text) {
    std::vector<int> ids;
    for (std::string_view piece : SplitList(text)) ids.push_back(LeadingInt(piece));
    return ids;
}

std::string EncodeGroupIds(const std::vector<int>& ids) {
    std::string text;
    for (int id : ids) text += (text.empty() ? "" : ",") + std::to_string(id);
    return text;
}

Expiry DecodeExpiry(const std::string& text) {
    return {!text.empty() && LeadingInt(text.substr(0, 1)) == 1, text.size() > 2 ? text.substr(2) : std::string()};
}

std::string EncodeExpiry(const Expiry& expiry) { return (expiry.on ? "1," : "0,") + expiry.date; }

std::string DecodeScrambledText(const std::string& text) {
    size_t first = text.find(',');
    if (first == std::string::npos) return text;
    std::string plain;
    size_t i = 0;
    for (std::string_view piece : Split(std::string_view(text).substr(first + 1), ',')) {
        int value = LeadingInt(Trim(piece));
        char c = static_cast<char>((value - static_cast<unsigned char>(kScrambleKey[i++ % 7])) & 0xFF);
        if (c == '\0') break;
        plain += c;
    }
    return plain;
}

bool PasswordMatches(const std::string& given, const std::string& stored) {
    const std::string plain = !given.empty() && given[0] == ',' ? DecodeScrambledText(given) : given;
    return IsPasswordHash(stored) ? PasswordHashMatches(plain, stored) : plain == stored;
}

}  // namespace tw
