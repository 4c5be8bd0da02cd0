// CAdminHost: what the administration program does with the server object, apart from showing it:
// start-up settings (applied the service host's way, plus the program's own keys), the IP lists it edits,
// starts with its own texts, the daily log step and the start-at-logon entry.
//
// Threads: the GUI thread, which owns the server object.
#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "admin/AdminSettings.h"
#include "engine/FtpServer.h"

namespace tw::admin {

// Appends `address` to a comma-separated list text unless an entry already covers it; true when added.
bool AddAddressToList(std::string& listText, const std::string& address);

class CAdminHost {
public:
    using Clock = std::function<std::time_t()>;
    enum class IpList { Allow, Deny };

    // `clock` becomes the server's clock too: the expiry sweep and the log's days follow it.
    CAdminHost(CFtpServer& server, CServerEventSink& sink, Clock clock);

    // Reads option.ini, applies it to the server with the sink (CFtpServer::ApplySettings), takes the
    // IP lists the server loaded and remembers today's date.
    void LoadSettings();
    const AdminSettings& Settings() const { return settings_; }
    // The options page's edits, for what reads them later (the next start, the start-at-logon entry).
    AdminSettings& EditSettings() { return settings_; }
    const std::string& ProgramDir() const { return programDir_; }
    CFtpServer& Server() { return server_; }

    // Start a listener on `port` with the program's texts, limits and statistics interval.
    bool StartPlain(int port);
    bool StartTls(int port);
    bool FtpRunning() const { return server_.IsRunning(); }
    bool TlsRunning() const { return server_.IsSslRunning(); }

    void RunAddressLookup() { server_.StartAddressLookup(); }
    void RetryAddressLookup() { server_.RetryAddressLookup(); }

    // Adds an address to the allow or deny list and, when it was not there yet, writes the list file
    // (a file that cannot be written is skipped: the running filter keeps the address). True when added.
    bool AddToList(IpList list, const std::string& address);
    const std::string& AllowList() const { return acceptList_; }
    const std::string& DenyList() const { return rejectList_; }

    // The daily log step for one event line, when saving is on: true when the day changed since the last
    // line (the caller empties its log list); the line goes to that day's file.
    bool LogLine(const std::string& line);

    // Writes the start-at-logon entry for `program` when "Startup" is 1, else removes it; failures are
    // silent (an unwritable directory only loses the entry).
    void UpdateAutostartEntry(const std::string& program) const;

    // The IP filter editor's result: gives the server the mode and both texts, keeps them as the program's
    // copies and writes "FilterMode", rejectip.txt and acceptip.txt (each text exactly, replacing the file).
    // Returns the path of the first file that could not be written (the others are written all the same),
    // empty when all three were.
    std::string ApplyFilter(int mode, const std::string& allowText, const std::string& denyText);

private:
    // The values the program gives the server before each start.
    void ApplyStartValues();

    CFtpServer& server_;
    CServerEventSink& sink_;
    const Clock clock_;
    const std::string programDir_;
    AdminSettings settings_;
    std::string acceptList_, rejectList_;
    std::string logDate_;  // "%Y-%m-%d" of the last logged event
};

}  // namespace tw::admin
