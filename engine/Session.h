// Session: the state of one client's FTP session, kept by its control connection: who is logged in and
// where, the data-connection settings of PORT, PASV and REST, a pending rename, the login defences and what
// runs on the data connection.
//
// The login phase and the data-connection activity change only through the named transitions below; the
// other fields are plain values of the commands that set them.
//
// Threads: owned by its CControlSocket and used on the connection thread only; no locks.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/PathBeneath.h"

namespace tw {

class Session {
public:
    // What the data connection does. AWAITING_CONNECTION: a transfer command waits (dispatching) for its
    // data connection, and the control lines that come meanwhile stay unhandled.
    enum class TransferKind { NONE, AWAITING_CONNECTION, LISTING, UPLOAD, DOWNLOAD };

    // Not logged in; the login time-out runs from `now`.
    explicit Session(std::time_t now) : loginClock_(now) {}

    // ---- login ----
    bool IsLoggedIn() const { return loggedIn_; }
    // A good PASS: the commands counted before login start again from none for a later login.
    void LoggedIn();
    // USER: logged out until the next good PASS. When it ends a login, the login defences start afresh:
    // the login time-out runs from `now` and this USER is the first command before the next login. A
    // transfer that runs goes on, but no longer as this session's: Transferring() is false from here.
    void LoggedOut(std::time_t now);
    // Not logged in for `timeoutSeconds` (0 or less: no time-out) at `now`.
    bool LoginTimedOut(std::time_t now, int timeoutSeconds) const;
    // Counts a command line that comes while not logged in; false when more than `limit` have come since
    // the connection or the USER that ended the last login.
    bool CountCommandBeforeLogin(int limit);
    // Counts a failed login; the failures of the whole connection, logins that succeed in between included.
    int CountLoginFailure() { return ++loginFails_; }

    // ---- the data connection ----
    TransferKind Transfer() const { return transfer_; }
    bool AwaitingDataConnection() const { return transfer_ == TransferKind::AWAITING_CONNECTION; }
    // A listing, download or upload runs.
    bool Transferring() const;
    void DataWaitStarted();
    void DataWaitEnded();
    // `kind` is one of LISTING, UPLOAD, DOWNLOAD.
    void TransferStarted(TransferKind kind);
    // Whatever ran on the data connection is over. A wait for the data connection is not: it ends only
    // by DataWaitEnded, when its caller goes on.
    void TransferEnded();

    // ---- the commands' values ----
    std::string UserName;       // USER's argument (cleared by AUTH and a refused USER)
    std::string ClientAddress;  // the peer address, taken at USER
    std::string CurrentDir;     // the client path of the working directory
    bool PassiveMode = false;   // PASV or EPSV set up the data connection, else PORT or EPRT
    int PortNumber = -1;        // PORT or EPRT: where to connect, -1 when unset
    std::string PortAddress;
    int64_t RestartOffset = 0;  // REST, for the next transfer
    PathBeneath RenameSource;   // RNFR, for the RNTO straight after it
    bool RenameIsFile = false;

private:
    bool loggedIn_ = false;
    TransferKind transfer_ = TransferKind::NONE;
    // When the session last became not logged in, and the commands dispatched since.
    std::time_t loginClock_;
    int commandsBeforeLogin_ = 0;
    int loginFails_ = 0;
};

}  // namespace tw
