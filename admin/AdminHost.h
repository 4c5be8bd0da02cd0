// CAdminHost: what the administration program does with the server object, apart from showing it:
// start-up settings, the IP lists it edits, starts and stops with its own texts, the daily log file,
// the expiry sweep and the start-at-logon entry.
//
// Threads: the GUI thread, which owns the server object.
#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "admin/AdminSettings.h"
#include "engine/AddressUpdater.h"
#include "engine/FtpServer.h"
#include "engine/LogFile.h"

namespace tw::admin {

// Appends `address` to a comma-separated list text unless an entry already covers it; true when added.
bool AddAddressToList(std::string& listText, const std::string& address);

class CAdminHost {
public:
    using Clock = std::function<std::time_t()>;
    enum class IpList { Allow, Deny };

    CAdminHost(CFtpServer& server, CServerEventSink& sink, Clock clock);

    // Reads option.ini and the IP lists of the program directory, gives the server its values and the
    // sink, points the daily log at the program directory and remembers today's date.
    void LoadSettings();
    const AdminSettings& Settings() const { return settings_; }
    const std::string& ProgramDir() const { return programDir_; }

    // Start a listener on `port` with the program's texts, limits and statistics interval.
    bool StartPlain(int port);
    bool StartTls(int port);
    bool FtpRunning() const { return server_.IsRunning(); }
    bool TlsRunning() const { return server_.IsSslRunning(); }

    // The public-address lookup and dynamic-DNS update, when option.ini asks for them; the retry repeats
    // it until one reply has been handled.
    void RunAddressLookup() { updater_.StartAddressLookup(); }
    void RetryAddressLookup();

    // Adds an address to the allow or deny list and, when it was not there yet, writes the list file
    // (a file that cannot be written is skipped: the running filter keeps the address). True when added.
    bool AddToList(IpList list, const std::string& address);
    const std::string& AllowList() const { return acceptList_; }
    const std::string& DenyList() const { return rejectList_; }

    // The daily log step for one event line, when saving is on: true when the day changed since the last
    // line (the caller empties its log list); the line goes to that day's file.
    bool LogLine(const std::string& line);

    // Disables the accounts whose expiry date has come; the count.
    int SweepExpiredAccounts();
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
    CLogFile log_;
    std::string logDate_;  // "%Y-%m-%d" of the last logged event
    CAddressUpdater updater_;
};

}  // namespace tw::admin
