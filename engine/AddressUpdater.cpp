#include "engine/AddressUpdater.h"

#include <fmt/printf.h>

#include "accounts/Accounts.h"
#include "engine/ServerSettings.h"
#include "platform/Text.h"

namespace tw {

namespace {

constexpr const char* kReplyPrefix = "Your IP:";
// "http://dyndns.tarnwick.invalid/", scrambled like a stored password.
constexpr const char* kDefaultUpdateBase =
    ",217,233,227,226,156,148,155,213,238,221,214,208,216,154,229,214,225,224,217,206,207,220,163,216,224,216,"
    "198,216,218,217,158";

bool IsInternet(const CIniFile& ini) { return EqualsNoCase(ReadText(ini, keys::kPassiveIp), "Internet"); }

}  // namespace

std::string ParseAddressReply(const std::string& response) {
    // The fetcher's buffer is a zero-terminated text: a zero byte ends the reply.
    std::string text = response.substr(0, response.find('\0'));
    if (text.rfind(kReplyPrefix, 0) != 0) return {};
    std::string address = text.substr(std::char_traits<char>::length(kReplyPrefix));
    while (!address.empty() && address.back() == '\n') address.pop_back();
    while (!address.empty() && (address.back() == ' ' || (address.back() >= '\t' && address.back() <= '\r')))
        address.pop_back();
    // The address goes into 227 replies: a line end inside would let the page write reply lines.
    for (char c : address)
        if (IsControlByte(c)) return {};
    return address;
}

std::string BuildUpdateUrl(const std::string& base, const std::string& name, const std::string& password,
                           const std::string& ownUrl) {
    return fmt::sprintf("%supdateurl2.php?name=%s&password=%s&url=%s&name2=%s&password2=%s&url2=%s", base,
                        UrlEncode(name), UrlEncode(password), UrlEncode(ownUrl), "", "", "");
}

CAddressUpdater::CAddressUpdater(std::string programDir, AddressSink setPassiveAddress)
    : programDir_(std::move(programDir)), setPassiveAddress_(std::move(setPassiveAddress)) {}

void CAddressUpdater::StartAddressLookup() {
    CIniFile ini(IniPath());
    if (!IsInternet(ini) && ReadInt(ini, keys::kDnsEnable) != 1) return;
    fetcher_.SetNotifyTarget(this);
    fetcher_.Fetch(ReadText(ini, keys::kDnsLookupUrl), LOOKUP);
}

void CAddressUpdater::OnMessage(unsigned id, uintptr_t wParam, intptr_t lParam) {
    if (id == WM_MYIP_DONE && wParam == LOOKUP) OnAddressReply(lParam == 0, fetcher_.Response());
}

void CAddressUpdater::OnAddressReply(bool ok, const std::string& response) {
    if (!ok) return;  // the retry timer tries again
    std::string address = ParseAddressReply(response);
    if (address.empty()) return;  // not a public-address answer (the update's own reply included)
    CIniFile ini(IniPath());
    if (IsInternet(ini)) setPassiveAddress_(address);
    if (ReadFlag(ini, keys::kDnsEnable)) {
        std::string ownUrl = fmt::sprintf("http://%s:%d", address, ReadInt(ini, keys::kPort));
        std::string base = ReadText(ini, keys::kDnsUpdateUrl, DecodeScrambledText(kDefaultUpdateBase));
        fetcher_.Fetch(
            BuildUpdateUrl(base, ReadText(ini, keys::kDnsName), ReadText(ini, keys::kDnsPassword), ownUrl), UPDATE);
    }
    updateDone_ = true;
}

}  // namespace tw
