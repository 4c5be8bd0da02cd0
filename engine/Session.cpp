#include "engine/Session.h"

namespace tw {

void Session::LoggedIn() {
    loggedIn_ = true;
    commandsBeforeLogin_ = 0;
}

void Session::LoggedOut(std::time_t now) {
    if (loggedIn_) {
        loginClock_ = now;
        commandsBeforeLogin_ = 1;
    }
    loggedIn_ = false;
    TransferEnded();
}

bool Session::LoginTimedOut(std::time_t now, int timeoutSeconds) const {
    return !loggedIn_ && timeoutSeconds > 0 && loginClock_ + timeoutSeconds <= now;
}

bool Session::CountCommandBeforeLogin(int limit) { return loggedIn_ || ++commandsBeforeLogin_ <= limit; }

bool Session::Transferring() const {
    return transfer_ == TransferKind::LISTING || transfer_ == TransferKind::UPLOAD ||
           transfer_ == TransferKind::DOWNLOAD;
}

void Session::DataWaitStarted() { transfer_ = TransferKind::AWAITING_CONNECTION; }

void Session::DataWaitEnded() {
    if (transfer_ == TransferKind::AWAITING_CONNECTION) transfer_ = TransferKind::NONE;
}

void Session::TransferStarted(TransferKind kind) { transfer_ = kind; }

void Session::TransferEnded() {
    if (Transferring()) transfer_ = TransferKind::NONE;
}

}  // namespace tw
