#include "FtpServer.h"

#include <algorithm>
#include <stdexcept>

#include "engine/AccountTables.h"
#include "engine/ConnectThread.h"
#include "engine/IpFilter.h"
#include "engine/Messages.h"
#include "engine/ServerEventSink.h"
#include "engine/SslConnection.h"
#include "platform/ProgramDir.h"

namespace tw {

namespace {

constexpr auto kThreadEndWait = std::chrono::milliseconds(5000);

}  // namespace

void CListenSocket::OnAccept(int) { server_.Accept(*this, tls_); }

CFtpServer::CFtpServer()
    : programDir_(ProgramDirectory()),
      loop_(*MessageLoop::Current()),
      clock_([] { return std::time(nullptr); }) {
    InitSockets();  // kernel copies and TLS writes to a closed peer must fail, not raise SIGPIPE
    window_ = std::make_unique<Window>(*this);
    waker_ = loop_.GetWaker();
    SetAccountSource(std::make_unique<CSdbAccounts>(programDir_));
}

CFtpServer::~CFtpServer() {
    StopServer();
    StopSslServer();
}

void CFtpServer::SetAccountSource(std::unique_ptr<CAccountSource> source) {
    accounts_ = std::move(source);
    access_ = std::make_unique<CAccessModel>(*accounts_);
}

void CFtpServer::SetWelcome(const std::string& text) {
    std::lock_guard lock(textMutex_);
    welcome_ = text;
}

void CFtpServer::SetGoodbye(const std::string& text) {
    std::lock_guard lock(textMutex_);
    goodbye_ = text;
}

std::string CFtpServer::GetWelcome() const {
    std::lock_guard lock(textMutex_);
    return welcome_;
}

std::string CFtpServer::GetGoodbye() const {
    std::lock_guard lock(textMutex_);
    return goodbye_;
}

void CFtpServer::SetFilterLists(const std::string& acceptText, const std::string& rejectText) {
    std::lock_guard lock(textMutex_);
    acceptList_ = acceptText;
    rejectList_ = rejectText;
}

bool CFtpServer::IsAllowedAddress(const std::string& address) const {
    std::lock_guard lock(textMutex_);
    return FilterAdmits(filterMode_, acceptList_, rejectList_, address);
}

void CFtpServer::SetPassivePorts(int low, int high) {
    std::lock_guard lock(passiveMutex_);
    passiveLow_ = low;
    passiveHigh_ = std::max(low, high);
}

void CFtpServer::GetPassivePorts(int& low, int& high) const {
    std::lock_guard lock(passiveMutex_);
    low = passiveLow_;
    high = passiveHigh_;
}

void CFtpServer::SetPassiveAddress(const std::string& address) {
    std::lock_guard lock(passiveMutex_);
    passiveAddress_ = address == "Default" || address == "Internet" ? std::string() : address;
}

std::string CFtpServer::GetPassiveAddress() const {
    std::lock_guard lock(passiveMutex_);
    return passiveAddress_;
}

int CFtpServer::ListeningPort() const { return listener_ ? listener_->LocalPort() : 0; }

int CFtpServer::SslListeningPort() const { return tlsListener_ ? tlsListener_->LocalPort() : 0; }

// ---- events ----

void CFtpServer::NotifyText(int level, const std::string& message) {
    std::time_t now = std::time(nullptr);
    std::string line = FormatEventLine(now, message);
    if (settingsLoaded_ && saveLog_) log_.Write(line, now);
    if (sink_) sink_->OnMessage(level, line);
}

void CFtpServer::ReportUser(ThreadId thread, const std::string& user, const std::string& address) {
    if (sink_) sink_->OnUser(thread, user, address);
}

void CFtpServer::ReportCommand(ThreadId thread, const std::string& currentDir, const std::string& line) {
    if (sink_) sink_->OnCommand(thread, currentDir, line);
}

// ---- lifecycle ----

bool CFtpServer::StartServer() {
    if (IsRunning() || (serviceWindow_ && !ftpService_)) return false;
    listener_ = std::make_unique<CListenSocket>(*this, false);
    if (!listener_->Listen(static_cast<uint16_t>(port_))) {
        listener_.reset();
        Notify(0, "Server cannot run on port %d.", port_.load());
        if (serviceWindow_) serviceWindow_->Post(WM_SERVICE_STOP);
        return false;
    }
    if (!IsSslRunning()) StartStatsTimer();
    Notify(0, "Server is running on port %d.", port_.load());
    return true;
}

void CFtpServer::StopServer() {
    if (!IsRunning()) return;
    StopStatsTimer();
    listener_.reset();
    EndThreads(plainThreads_);
    Notify(0, "Server is stopped.");
}

bool CFtpServer::StartSslServer() {
    if (IsSslRunning() || (serviceWindow_ && !ftpsService_)) return false;
    auto listener = std::make_unique<CListenSocket>(*this, true);
    if (!listener->Listen(static_cast<uint16_t>(sslPort_))) {
        Notify(0, "SSL Server cannot run on port %d.", sslPort_.load());
        return false;
    }
    std::string error;
    tlsContext_ = CreateServerContext(programDir_, error);
    if (!tlsContext_) {
        NotifyText(0, error);
        return false;  // dropping the listener closes it
    }
    tlsListener_ = std::move(listener);
    if (!IsRunning()) StartStatsTimer();
    Notify(0, "SSL Server is running on port %d.", sslPort_.load());
    return true;
}

void CFtpServer::StopSslServer() {
    if (!IsSslRunning()) return;
    tlsListener_.reset();
    tlsContext_.reset();  // running connections hold references of their own
    EndThreads(tlsThreads_);
    Notify(0, "SSL Server is stopped.");
    if (!IsRunning()) StopStatsTimer();
}

void CFtpServer::EndThreads(std::list<std::shared_ptr<CConnectThread>>& registry) {
    // A stop after the owning loop was told to quit (a host shutting down) still waits for its threads.
    const bool quitting = loop_.QuitRequested();
    loop_.ResetQuit();
    for (;;) {
        std::shared_ptr<CConnectThread> thread;
        {
            std::lock_guard lock(registryMutex_);
            if (registry.empty()) break;
            thread = registry.front();
        }
        thread->RequestQuit();
        // The ending thread reports synchronously, so messages are dispatched while waiting; each one
        // that arrives restarts the wait.
        for (;;) {
            unsigned long seen = window_->handled;
            if (loop_.RunFor(kThreadEndWait, [&] { return thread->Ended() || window_->handled != seen; })) {
                if (thread->Ended()) break;
                continue;
            }
            break;
        }
        if (!thread->Ended()) Unregister(thread.get());
        // A thread that has ended has already left the registry.
    }
    // Threads that left the registry on their own may still be finishing; the wait is bounded as above.
    bool tls = &registry == &tlsThreads_;
    auto finishing = [&] {
        return std::any_of(started_.begin(), started_.end(),
                           [&](const std::shared_ptr<CConnectThread>& t) { return t->IsTls() == tls && !t->Ended(); });
    };
    loop_.RunFor(kThreadEndWait, [&] { return !finishing(); });
    started_.remove_if([](const std::shared_ptr<CConnectThread>& t) { return t->Ended(); });
    if (quitting) loop_.Quit(loop_.QuitCode());
}

void CFtpServer::Unregister(const CConnectThread* thread) {
    std::lock_guard lock(registryMutex_);
    auto& registry = thread->IsTls() ? tlsThreads_ : plainThreads_;
    registry.remove_if([&](const std::shared_ptr<CConnectThread>& t) { return t.get() == thread; });
}

void CFtpServer::Accept(CListenSocket& listener, bool tls) {
    int fd = listener.AcceptFd();
    if (fd < 0) return;
    std::shared_ptr<CConnectThread> thread;
    if (tls)
        thread = std::make_shared<CSslClientThread>(*this, fd, tlsContext_.get());
    else
        thread = std::make_shared<CConnectThread>(*this, fd, false);
    auto& registry = tls ? tlsThreads_ : plainThreads_;
    {
        std::lock_guard lock(registryMutex_);
        registry.push_back(thread);
    }
    if (!thread->Start(waker_)) {
        Unregister(thread.get());  // dropping it closes the socket; nothing counted
        return;
    }
    started_.remove_if([](const std::shared_ptr<CConnectThread>& t) { return t->Ended(); });
    started_.push_back(std::move(thread));
}

// ---- notification target ----

void CFtpServer::Window::OnMessage(unsigned id, uintptr_t wParam, intptr_t lParam) {
    ++handled;
    server_.OnWindowMessage(id, wParam, lParam);
}

void CFtpServer::OnWindowMessage(unsigned id, uintptr_t wParam, intptr_t lParam) {
    switch (id) {
        case WM_FTP_CONNECTED: {
            auto* thread = reinterpret_cast<CConnectThread*>(wParam);
            ++currentConnections_;
            ++totalConnections_;
            // Decided here, right after this connection's own count, so a burst of clients cannot see
            // each other's counts and be refused below the limit.
            thread->SetOverLimit(IsFull());
            Notify(0, lParam ? "%s has connected to SSL server." : "%s has connected to server.",
                   thread->ClientAddress());
            break;
        }
        case WM_FTP_DISCONNECTED: {
            auto* thread = reinterpret_cast<CConnectThread*>(wParam);
            --currentConnections_;
            Notify(0, lParam ? "%s has disconnected from SSL server." : "%s has disconnected from server.",
                   thread->ClientAddress());
            if (sink_) sink_->OnDisconnect(thread->Id(), thread->UserName());
            break;
        }
        case WM_FTP_NOTIFY:
            if (wParam == NOTIFY_BYTES_SENT)
                bytesSent_ += static_cast<uint32_t>(lParam);
            else if (wParam == NOTIFY_BYTES_RECEIVED)
                bytesReceived_ += static_cast<uint32_t>(lParam);
            else if (wParam == NOTIFY_COUNTER && lParam >= 2 && lParam <= 5)
                ++counters_[lParam - 2];
            break;
        default:
            break;
    }
}

// ---- statistics ----

void CFtpServer::SetStatsInterval(int ms) {
    StopStatsTimer();
    statsInterval_ = ms;
    StartStatsTimer();
}

void CFtpServer::StartStatsTimer() {
    StopStatsTimer();
    if (statsInterval_ > 0)
        statsTimer_ = loop_.SetTimer(std::chrono::milliseconds(statsInterval_), [this] { PushStatistics(); });
}

void CFtpServer::StopStatsTimer() {
    if (statsTimer_) loop_.KillTimer(statsTimer_);
    statsTimer_ = 0;
}

void CFtpServer::PushStatistics() {
    if (!sink_) return;
    sink_->OnBytesSent(bytesSent_);
    sink_->OnBytesReceived(bytesReceived_);
    sink_->OnCounter(0, totalConnections_);
    sink_->OnCounter(1, currentConnections_);
    for (int i = 0; i < 4; ++i) sink_->OnCounter(i + 2, counters_[i]);
}

}  // namespace tw
