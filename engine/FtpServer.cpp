#include "engine/FtpServer.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <stdexcept>
#include <vector>

#include "accounts/AccountTables.h"
#include "engine/ConnectThread.h"
#include "engine/IpFilter.h"
#include "engine/Messages.h"
#include "engine/ServerEventSink.h"
#include "platform/IpAddress.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"

namespace tw {

namespace {

constexpr auto kThreadEndWait = std::chrono::milliseconds(5000);
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// Handshakes under way from one address when MaxPerIP sets no limit.
constexpr int kHandshakesPerAddress = 10;
constexpr auto kLineBudgetTick = std::chrono::milliseconds(1000);

// The line budget runs on the monotonic clock: a step of the wall clock neither lifts nor stretches it.
int64_t SteadySecond() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Port 0 (any free port) is for a program that sets the port itself; read from option.ini it is what a
// missing or malformed number gives.
bool UsablePort(int port, bool fromSettingsFile) {
    return (port >= 1 && port <= 65535) || (port == 0 && !fromSettingsFile);
}

}  // namespace

CListenSocket::~CListenSocket() {
    if (resumeTimer_) server_.loop_.KillTimer(resumeTimer_);
}

void CListenSocket::OnAccept(int) { server_.Accept(*this, tls_); }

void CListenSocket::PauseAccepting() {
    if (resumeTimer_) return;
    WantRead(false);
    resumeTimer_ = server_.loop_.SetTimer(kAcceptPause, [this] {
        resumeTimer_ = 0;
        WantRead(true);
    }, false);
}

CFtpServer::CFtpServer()
    : programDir_(ProgramDirectory()),
      loop_(*MessageLoop::Current()),
      clock_([] { return std::time(nullptr); }),
      updater_(programDir_, [this](const std::string& address) { SetPassiveAddress(address); }) {
    InitSockets();  // kernel copies and TLS writes to a closed peer must fail, not raise SIGPIPE
    window_ = std::make_unique<Window>(*this);
    waker_ = loop_.GetWaker();
    SetAccountSource(std::make_unique<CSdbAccounts>(programDir_));
}

CFtpServer::~CFtpServer() {
    StopServer();
    StopSslServer();
    // Connection threads use this object to their end, also those a stop gave up on: wait for every one.
    // A host that must not wait longer ends the process instead (the service host does).
    std::optional<int> quit;
    while (ThreadsRunning())
        WaitDispatching(std::chrono::steady_clock::now() + kThreadEndWait, [this] { return !ThreadsRunning(); }, quit);
    if (quit) loop_.Quit(*quit);
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

void CFtpServer::GetFilterLists(std::string& acceptText, std::string& rejectText) const {
    std::lock_guard lock(textMutex_);
    acceptText = acceptList_;
    rejectText = rejectList_;
}

bool CFtpServer::IsAllowedAddress(const std::string& address) const {
    std::lock_guard lock(textMutex_);
    return FilterAdmits(filterMode_, acceptList_, rejectList_, address);
}

bool CFtpServer::RecordLoginFailure(const std::string& address, const std::string& account) {
    const LoginLimits limits{banAfterFails_, static_cast<std::time_t>(banMinutes_) * 60, accountFailLimit_,
                             static_cast<std::time_t>(accountLockMinutes_) * 60};
    const LoginFailureOutcome outcome = bans_.RecordFailure(address, account, Now(), limits);
    // Once per ban or lock, so outside any line budget.
    if (outcome.addressBanned) Notify(EventLevel::EVENT, "%s banned after %d failed logins.", address, limits.banAfter);
    if (outcome.accountLocked) Notify(EventLevel::EVENT, "Account %s locked after %d failed logins.", account, limits.accountFailLimit);
    return outcome.addressBanned;
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

bool CFtpServer::ThreadsRunning() const {
    return std::any_of(started_.begin(), started_.end(), [](const std::shared_ptr<CConnectThread>& t) { return !t->Ended(); });
}

// ---- events ----

void CFtpServer::NotifyText(EventLevel level, const std::string& message) {
    std::time_t now = std::time(nullptr);
    std::string line = FormatEventLine(now, message);
    if (serviceWindow_ && saveLog_) log_.Write(line, now);
    if (sink_) sink_->OnMessage(level, line);
}

void CFtpServer::NotifyTextFrom(const CConnectThread& connection, EventLevel level, const std::string& message) {
    if (!lineBudget_.Admit(connection.ClientAddress(), SteadySecond())) return;
    NotifyText(level, logSessionTags_ ? connection.Tag() + " " + message : message);
}

void CFtpServer::UpdateLineBudgetTimer() {
    const bool listening = IsRunning() || IsSslRunning();
    if (listening && !lineBudgetTimer_) {
        lineBudgetTimer_ = loop_.SetTimer(kLineBudgetTick, [this] { ReportHeldBackLines(SteadySecond()); });
    } else if (!listening && lineBudgetTimer_) {
        loop_.KillTimer(lineBudgetTimer_);
        lineBudgetTimer_ = 0;
        ReportHeldBackLines(std::numeric_limits<int64_t>::max());
    }
}

void CFtpServer::ReportHeldBackLines(int64_t second) {
    for (const auto& [address, lines] : lineBudget_.TakeHeldBack(second))
        Notify(EventLevel::EVENT, "%d lines of %s not logged.", lines, address);
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
    const int port = port_;
    listener_ = std::make_unique<CListenSocket>(*this, false);
    if (!OpenListener(*listener_, port, "Server")) {
        listener_.reset();
        if (serviceWindow_) serviceWindow_->Post(WM_SERVICE_STOP);
        return false;
    }
    // Explicit TLS (AUTH) needs the context as well; without it the plain listener serves clear FTP only.
    // Loaded before the start is announced, so a TLS listener started next is not held up after it.
    std::string error;
    const bool tls = LoadTlsContext(error);
    if (!IsSslRunning()) StartStatsTimer();
    UpdateLineBudgetTimer();
    Notify(EventLevel::EVENT, "Server is running on port %d.", port);
    if (!tls) Notify(EventLevel::EVENT, "TLS is not available: %s", std::string(Trim(error)));
    return true;
}

bool CFtpServer::OpenListener(CListenSocket& listener, int port, const char* name) {
    if (!listenAddress_.empty() && !ParseIpAddress(listenAddress_)) {
        Notify(EventLevel::EVENT, "%s cannot run on address %s: not an IP address.", name, listenAddress_);
        return false;
    }
    if (UsablePort(port, settingsLoaded_) && listener.Listen(static_cast<uint16_t>(port), listenAddress_)) return true;
    Notify(EventLevel::EVENT, "%s cannot run on port %d.", name, port);
    return false;
}

bool CFtpServer::LoadTlsContext(std::string& error) {
    if (!tlsContext_) tlsContext_ = CreateServerContext(programDir_, error);
    return tlsContext_ != nullptr;
}

void CFtpServer::StopServer() {
    if (!IsRunning()) return;
    StopStatsTimer();
    listener_.reset();
    if (!IsSslRunning()) tlsContext_.reset();  // running connections hold references of their own
    EndThreads(plainThreads_);
    UpdateLineBudgetTimer();
    Notify(EventLevel::EVENT, "Server is stopped.");
}

bool CFtpServer::StartSslServer() {
    if (IsSslRunning() || (serviceWindow_ && !ftpsService_)) return false;
    const int port = sslPort_;
    auto listener = std::make_unique<CListenSocket>(*this, true);
    if (!OpenListener(*listener, port, "SSL Server")) return false;
    std::string error;
    if (!LoadTlsContext(error)) {
        NotifyText(EventLevel::EVENT, error);
        return false;  // dropping the listener closes it
    }
    tlsListener_ = std::move(listener);
    if (!IsRunning()) StartStatsTimer();
    UpdateLineBudgetTimer();
    Notify(EventLevel::EVENT, "SSL Server is running on port %d.", port);
    return true;
}

void CFtpServer::StopSslServer() {
    if (!IsSslRunning()) return;
    tlsListener_.reset();
    if (!IsRunning()) tlsContext_.reset();  // running connections hold references of their own
    EndThreads(tlsThreads_);
    UpdateLineBudgetTimer();
    Notify(EventLevel::EVENT, "SSL Server is stopped.");
    if (!IsRunning()) StopStatsTimer();
}

void CFtpServer::EndThreads(std::list<std::shared_ptr<CConnectThread>>& registry) {
    // A stop runs its waits to the end, also when the owning loop was told to quit before (a host shutting
    // down) or is told so meanwhile (a second stop signal); the quit takes effect after the stop.
    std::optional<int> quit;
    std::vector<const CConnectThread*> givenUp;
    for (;;) {
        std::shared_ptr<CConnectThread> thread;
        {
            std::lock_guard lock(registryMutex_);
            if (registry.empty()) break;
            thread = registry.front();
        }
        thread->RequestQuit();
        // The ending thread reports synchronously, so messages are dispatched while waiting; a report of
        // this thread restarts the wait, the traffic of other connections does not.
        for (;;) {
            unsigned seen = thread->Reports();
            auto deadline = std::chrono::steady_clock::now() + kThreadEndWait;
            if (!WaitDispatching(deadline, [&] { return thread->Ended() || thread->Reports() != seen; }, quit) ||
                thread->Ended())
                break;
        }
        if (!thread->Ended()) {
            Unregister(thread.get());
            givenUp.push_back(thread.get());
        }
        // A thread that has ended has already left the registry.
    }
    // Threads that left the registry on their own may still be finishing; they get a wait as well. The
    // ones given up on above have had theirs.
    bool tls = &registry == &tlsThreads_;
    auto finishing = [&] {
        return std::any_of(started_.begin(), started_.end(), [&](const std::shared_ptr<CConnectThread>& t) {
            return t->IsTls() == tls && !t->Ended() &&
                   std::find(givenUp.begin(), givenUp.end(), t.get()) == givenUp.end();
        });
    };
    WaitDispatching(std::chrono::steady_clock::now() + kThreadEndWait, [&] { return !finishing(); }, quit);
    started_.remove_if([](const std::shared_ptr<CConnectThread>& t) { return t->Ended(); });
    if (quit) loop_.Quit(*quit);
}

bool CFtpServer::WaitDispatching(std::chrono::steady_clock::time_point deadline, const std::function<bool()>& done,
                                 std::optional<int>& quit) {
    for (;;) {
        if (loop_.QuitRequested()) {
            quit = loop_.QuitCode();
            loop_.ResetQuit();
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (loop_.RunFor(std::max(left, std::chrono::milliseconds(0)), done)) return true;
        if (!loop_.QuitRequested()) return false;  // the time is up
    }
}

void CFtpServer::Unregister(const CConnectThread* thread) {
    std::lock_guard lock(registryMutex_);
    auto& registry = thread->IsTls() ? tlsThreads_ : plainThreads_;
    registry.remove_if([&](const std::shared_ptr<CConnectThread>& t) { return t.get() == thread; });
}

void CFtpServer::Accept(CListenSocket& listener, bool tls) {
    int fd = listener.AcceptFd();
    if (fd < 0) {
        // Out of descriptors (or another failure that would repeat at once): the level-triggered watch
        // would fire again at once, so the clients wait in the backlog for a moment instead.
        if (listener.LastError() != EAGAIN) listener.PauseAccepting();
        return;
    }
    // Plain connections get the context too, for AUTH TLS.
    auto thread = std::make_shared<CConnectThread>(*this, fd, tls, tlsContext_.get());
    if (tls) {
        // Handshakes hold places before they are counted in, against maxusers (IsFull) and MaxPerIP. While
        // as many are under way as the limit allows, a further one could only be refused: it is closed
        // unseen instead of tying up a thread for its handshake. One address gets no more places than
        // its own limit, so clients that never finish a handshake cannot keep everyone else out.
        // Dropping the thread object closes the socket.
        if (handshakes_ >= maxUsers_ || !BeginHandshake(thread->ClientAddress())) return;
    }
    auto& registry = tls ? tlsThreads_ : plainThreads_;
    {
        std::lock_guard lock(registryMutex_);
        registry.push_back(thread);
    }
    if (!thread->Start(waker_)) {
        Unregister(thread.get());  // dropping it closes the socket; nothing counted
        if (tls) HandshakeEnded(thread->ClientAddress());
        return;
    }
    started_.remove_if([](const std::shared_ptr<CConnectThread>& t) { return t->Ended(); });
    started_.push_back(std::move(thread));
}

bool CFtpServer::BeginHandshake(const std::string& address) {
    const int limit = maxPerIp_ > 0 ? maxPerIp_.load() : kHandshakesPerAddress;
    const std::string key = AddressGroup(address);
    std::lock_guard lock(handshakeMutex_);
    auto it = handshakesFrom_.find(key);
    if (it != handshakesFrom_.end() && it->second >= limit) return false;
    ++handshakesFrom_[key];
    ++handshakes_;
    return true;
}

void CFtpServer::HandshakeEnded(const std::string& address) {
    const std::string key = AddressGroup(address);
    std::lock_guard lock(handshakeMutex_);
    if (auto it = handshakesFrom_.find(key); it != handshakesFrom_.end() && --it->second <= 0)
        handshakesFrom_.erase(it);
    --handshakes_;
}

int CFtpServer::HandshakesFrom(const std::string& address) const {
    const std::string key = AddressGroup(address);
    std::lock_guard lock(handshakeMutex_);
    auto it = handshakesFrom_.find(key);
    return it == handshakesFrom_.end() ? 0 : it->second;
}

// ---- notification target ----

void CFtpServer::Window::OnMessage(unsigned id, uintptr_t wParam, intptr_t lParam) {
    server_.OnWindowMessage(id, wParam, lParam);
}

void CFtpServer::OnWindowMessage(unsigned id, uintptr_t wParam, intptr_t lParam) {
    switch (id) {
        case WM_FTP_CONNECTED: {
            auto* thread = reinterpret_cast<CConnectThread*>(wParam);
            thread->CountReport();
            ++currentConnections_;
            ++totalConnections_;
            // Decided here, right after this connection's own count, so a burst of clients cannot see
            // each other's counts and be refused below the limit.
            thread->SetOverLimit(IsFull());
            const std::string& client = thread->ClientAddress();
            const int fromAddress = ++perAddress_[AddressGroup(client)] + HandshakesFrom(client);
            thread->SetOverAddressLimit(maxPerIp_ > 0 && fromAddress > maxPerIp_);
            NotifyFrom(*thread, EventLevel::EVENT, lParam ? "%s has connected to SSL server." : "%s has connected to server.",
                       thread->ClientAddress());
            break;
        }
        case WM_FTP_DISCONNECTED: {
            auto* thread = reinterpret_cast<CConnectThread*>(wParam);
            thread->CountReport();
            --currentConnections_;
            auto it = perAddress_.find(AddressGroup(thread->ClientAddress()));
            if (it != perAddress_.end() && --it->second <= 0) perAddress_.erase(it);
            NotifyFrom(*thread, EventLevel::EVENT, lParam ? "%s has disconnected from SSL server." : "%s has disconnected from server.",
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
    if (serviceWindow_) {
        // Service host: timer 1 pushes no statistics; it repeats the public-address lookup until a reply came.
        statsTimer_ = loop_.SetTimer(lookupRetry_, [this] { RetryAddressLookup(); });
    } else if (statsInterval_ > 0)
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
