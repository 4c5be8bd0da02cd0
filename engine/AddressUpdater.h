// CAddressUpdater: finds the public address for passive replies and sends the dynamic-DNS update.
//
// Reads option.ini afresh on each call: [Server] PassiveIP, Port; [DNS] Enable, Name, Password, and the
// endpoints LookupURL and UpdateURL (built-in defaults under ".invalid", so nothing leaves the machine
// until an administrator sets them). Never writes the file.
//
// Threads: created, called and destroyed on the owning thread (the one that gets WM_MYIP_DONE); the
// requests run on the fetcher's workers. No dependency on a host program.
#pragma once

#include <functional>
#include <string>

#include "platform/HttpFetcher.h"
#include "engine/ServerSettings.h"
#include "platform/MessageLoop.h"

namespace tw {

class CAddressUpdater : public MessageTarget {
public:
    using AddressSink = std::function<void(const std::string&)>;

    // `setPassiveAddress` gets the public address when PassiveIP is "Internet".
    CAddressUpdater(std::string programDir, AddressSink setPassiveAddress);

    // Fetches the public-address page when PassiveIP is "Internet" or DNS updates are enabled.
    void StartAddressLookup();
    // Handles a finished request (WM_MYIP_DONE): the public address, then at most one update request.
    void OnAddressReply(bool ok, const std::string& response);
    // True once a public-address reply has been handled; the hosts' retry timers stop then.
    bool UpdateDone() const { return updateDone_; }

    void OnMessage(unsigned id, uintptr_t wParam, intptr_t lParam) override;

private:
    // Tags of the two requests: only a lookup's reply is read, so an update service that answers like the
    // lookup page cannot start update after update.
    enum Request : uintptr_t { LOOKUP = 0, UPDATE = 1 };

    std::string IniPath() const { return SettingsPath(programDir_); }

    std::string programDir_;
    AddressSink setPassiveAddress_;
    bool updateDone_ = false;
    CHttpFetcher fetcher_;
};

// The address after "Your IP:" in a lookup reply (line feeds, then white space cut from its end), or
// empty when the reply is no public-address answer or the address holds a control character.
std::string ParseAddressReply(const std::string& response);

// The update request: base + "updateurl2.php?..." with each value URL-encoded.
std::string BuildUpdateUrl(const std::string& base, const std::string& name, const std::string& password,
                           const std::string& ownUrl);

}  // namespace tw
