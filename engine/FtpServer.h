// CFtpServer: the one server object of a process. Owns the listeners, the registries of live connection
// threads, the notification target through which connection threads report, the counters, the settings
// that connection threads read, and the event-line writer.
//
// Threads: constructed, started, stopped and destroyed on the owning thread, which runs a MessageLoop
// (the service thread or the GUI thread). Counters change only there, through messages. Connection threads
// call the getters, IsFull, IsAllowedAddress, Notify, Now, the login defences, the line budget and the
// registry functions; the setters they read are atomic or guarded (the passive address by its lock, texts by
// the settings lock, bans and budget by their own).
#pragma once

#include <atomic>
#include <chrono>
#include <ctime>
#include <fmt/printf.h>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/AccessModel.h"
#include "engine/AddressUpdater.h"
#include "accounts/Accounts.h"
#include "engine/LogBudget.h"
#include "engine/LogFile.h"
#include "engine/LoginBans.h"
#include "engine/RateBudget.h"
#include "engine/ServerEventSink.h"
#include "engine/ServerSettings.h"
#include "engine/TlsContext.h"
#include "engine/UploadQuota.h"
#include "platform/EventSocket.h"
#include "platform/MessageLoop.h"

namespace tw {

class CConnectThread;
class CFtpServer;
class CServerEventSink;

// A listening socket that hands each accepted client to its server.
class CListenSocket : public CEventSocket {
public:
    CListenSocket(CFtpServer& server, bool tls) : server_(server), tls_(tls) {}
    ~CListenSocket() override;

    // Takes no clients for a short while (an accept failed, typically for want of a descriptor): they
    // wait in the backlog instead of waking the owning thread again at once.
    void PauseAccepting();

protected:
    void OnAccept(int error) override;

private:
    CFtpServer& server_;
    bool tls_;
    MessageLoop::TimerId resumeTimer_ = 0;
};

class CFtpServer {
public:
    using Clock = std::function<std::time_t()>;

    CFtpServer();
    ~CFtpServer();
    CFtpServer(const CFtpServer&) = delete;
    CFtpServer& operator=(const CFtpServer&) = delete;

    // ---- settings (owning thread) ----
    void SetPort(int port) { port_ = port; }
    void SetSslPort(int port) { sslPort_ = port; }
    // The address both listeners bind from their next start (empty: every address, IPv4 and IPv6).
    void SetListenAddress(const std::string& address) { listenAddress_ = address; }
    void SetMaxUsers(int n) { maxUsers_ = n; }
    void SetTimeout(int minutes) { timeout_ = minutes; }
    void SetWelcome(const std::string& text);
    void SetGoodbye(const std::string& text);
    void SetEventSink(CServerEventSink* sink) { sink_ = sink; }
    void SetFilterMode(int mode) { filterMode_ = mode; }
    void SetFilterLists(const std::string& acceptText, const std::string& rejectText);
    void GetFilterLists(std::string& acceptText, std::string& rejectText) const;
    void SetPassivePorts(int low, int high);
    void GetPassivePorts(int& low, int& high) const;
    void SetPassiveAddress(const std::string& address);
    void SetStatsInterval(int ms);
    // Service host: the target that gets WM_SERVICE_STOP when the plain listener cannot be opened.
    // Also makes the server write event lines to the daily log file itself (the desktop program writes
    // the lines it shows, through Log()).
    void SetServiceWindow(MessageTarget* window) { serviceWindow_ = window; }
    // Service host: how often timer 1 repeats the public-address lookup until a reply came (30 s).
    void SetLookupRetry(std::chrono::milliseconds interval) { lookupRetry_ = interval; }
    // Where accounts are read from: the tables of the program directory unless replaced (tests).
    void SetAccountSource(std::unique_ptr<CAccountSource> source);
    // Time source of idle and login time-outs and of bans (seconds); tests replace it.
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    // Defences against hostile clients (option.ini keys of the same names).
    void SetLoginFailDelay(int ms) { loginFailDelay_ = ms; }
    void SetMaxLoginFails(int n) { maxLoginFails_ = n; }
    void SetBanAfterFails(int n) { banAfterFails_ = n; }
    void SetBanMinutes(int minutes) { banMinutes_ = minutes; }
    void SetAccountFailLimit(int n) { accountFailLimit_ = n; }
    void SetAccountLockMinutes(int minutes) { accountLockMinutes_ = minutes; }
    void SetLoginTimeout(int seconds) { loginTimeout_ = seconds; }
    void SetMaxPerIp(int n) { maxPerIp_ = n; }
    // 0: TLS optional; 1: logins other than anonymous only after AUTH TLS; 2: their data connections
    // protected as well (the TLS listener meets both).
    void SetForceTls(int level) { forceTls_ = level; }
    // Whether a connection's event lines start with its tag (ConnectionTag).
    void SetLogSessionTags(bool on) { logSessionTags_ = on; }

    // ---- read by connection threads ----
    int Port() const { return port_; }
    int Timeout() const { return timeout_; }
    std::string GetWelcome() const;
    std::string GetGoodbye() const;
    std::string GetPassiveAddress() const;
    std::string ProgramDir() const { return programDir_; }
    std::time_t Now() const { return clock_(); }
    CAccessModel& Access() { return *access_; }
    CUploadQuota& UploadQuota() { return uploadQuota_; }
    CRateBudget& RateBudget() { return rateBudget_; }
    int LoginFailDelay() const { return loginFailDelay_; }
    int MaxLoginFails() const { return maxLoginFails_; }
    int LoginTimeout() const { return loginTimeout_; }
    int ForceTls() const { return forceTls_; }
    // Connections still in their TLS handshake hold a place as well.
    bool IsFull() const { return maxUsers_ < currentConnections_ + handshakes_; }
    bool IsAllowedAddress(const std::string& address) const;
    // Failed logins per address and per account (`account` empty for a name that is no account): a
    // failure that bans the address returns true; bans and account locks are logged. A banned address is
    // refused at connect and never logs in; a locked account logs in only from addresses it knows.
    bool RecordLoginFailure(const std::string& address, const std::string& account);
    void RecordLoginSuccess(const std::string& address, const std::string& account) {
        bans_.RecordSuccess(address, account, Now());
    }
    bool IsBanned(const std::string& address) const { return bans_.IsBanned(address, Now()); }
    bool IsAccountLocked(const std::string& account, const std::string& address) const {
        return bans_.IsLocked(account, address, Now());
    }
    // Connection thread: its TLS handshake, begun by a client from `address`, has ended (either way).
    void HandshakeEnded(const std::string& address);
    // The port the plain listener is bound to (useful when started on port 0), or 0.
    int ListeningPort() const;

    // ---- lifecycle (owning thread) ----
    bool StartServer();
    void StopServer();
    bool IsRunning() const { return listener_ != nullptr; }
    // The implicit-TLS listener. Its context, built from the program directory's certificate files, is the
    // one of explicit TLS on the plain listener too: loaded by the first of the two to start, dropped when
    // both have stopped.
    bool StartSslServer();
    void StopSslServer();
    bool IsSslRunning() const { return tlsListener_ != nullptr; }
    int SslListeningPort() const;
    // Whether a connection thread still runs, also one that a stop gave up waiting for. Such a thread
    // still uses this object, which must not be destroyed meanwhile; the destructor waits for it.
    bool ThreadsRunning() const;
    // Service host: reads option.ini and applies it; once per process (a second call does nothing).
    // Timer 1 repeats a public-address lookup every 30 s until one reply has been handled.
    void LoadSettings(CServerEventSink* sink);
    // Both hosts: gives the server the settings and the sink, loads the IP lists, points the daily log at
    // the program directory (opening today's file for the service host or when Savelog is on), disables
    // expired accounts, removes hidden files that cut-short uploads left and warns of account tables that
    // others can read. With PassiveIP "Internet" it starts the public-address lookup.
    void ApplySettings(const ServerSettings& settings, CServerEventSink* sink);
    // The public-address lookup and dynamic-DNS update, when option.ini asks for them; the retry repeats
    // it until one reply has been handled.
    void StartAddressLookup() { updater_.StartAddressLookup(); }
    void RetryAddressLookup() {
        if (!updater_.UpdateDone()) updater_.StartAddressLookup();
    }
    CLogFile& Log() { return log_; }
    // The values the server runs with, in the form they were given (the passive address as stored).
    ServerSettings AppliedSettings() const;
    bool FtpServiceEnabled() const { return ftpService_; }

    // ---- events (any thread) ----
    template <typename... Args>
    void Notify(EventLevel level, const char* format, const Args&... args) {
        NotifyText(level, fmt::sprintf(format, args...));
    }
    void NotifyText(EventLevel level, const std::string& message);
    // An event line of a connection: tagged with the connection's tag when LogSessionTags is on, written
    // only within the line budget of its address; what the budget holds back is counted in one line a second.
    template <typename... Args>
    void NotifyFrom(const CConnectThread& connection, EventLevel level, const char* format, const Args&... args) {
        NotifyTextFrom(connection, level, fmt::sprintf(format, args...));
    }
    void NotifyTextFrom(const CConnectThread& connection, EventLevel level, const std::string& message);
    // Hands a USER to the host.
    void ReportUser(ThreadId thread, const std::string& user, const std::string& address);
    // Hands a command line taken for dispatch to the host.
    void ReportCommand(ThreadId thread, const std::string& currentDir, const std::string& line);

    // ---- connection threads ----
    // Posted or sent to the owning thread's notification target.
    void PostToWindow(unsigned id, uintptr_t wParam, intptr_t lParam) { window_->Post(id, wParam, lParam); }
    // For running totals (byte counts), which the owning thread takes in whenever it next runs.
    void PostLazyToWindow(unsigned id, uintptr_t wParam, intptr_t lParam) { window_->PostLazy(id, wParam, lParam); }
    bool SendToWindow(unsigned id, uintptr_t wParam, intptr_t lParam) { return window_->Send(id, wParam, lParam); }
    // Removes a thread from its registry (under the registry lock).
    void Unregister(const CConnectThread* thread);

    // Counters (owning thread).
    uint32_t BytesReceived() const { return bytesReceived_; }
    uint32_t BytesSent() const { return bytesSent_; }
    int CurrentConnections() const { return currentConnections_; }
    int TotalConnections() const { return totalConnections_; }
    int Counter(int kind) const { return kind >= 2 && kind <= 5 ? counters_[kind - 2] : 0; }

private:
    friend class CListenSocket;
    class Window : public MessageTarget {
    public:
        explicit Window(CFtpServer& server) : server_(server) {}
        void OnMessage(unsigned id, uintptr_t wParam, intptr_t lParam) override;

    private:
        CFtpServer& server_;
    };

    void OnWindowMessage(unsigned id, uintptr_t wParam, intptr_t lParam);
    void Accept(CListenSocket& listener, bool tls);
    // Owning thread: takes a handshake place for a client from `address`; false when the address already
    // has as many handshakes under way as MaxPerIP allows (10 without a limit).
    bool BeginHandshake(const std::string& address);
    // Opens a listener on the listen address and `port`; the event log says why when it cannot ("SSL
    // Server" or "Server" cannot run ...).
    bool OpenListener(CListenSocket& listener, int port, const char* name);
    // TLS handshakes under way from `address`.
    int HandshakesFrom(const std::string& address) const;
    // Ends every thread of one registry, waiting for each while dispatching messages.
    void EndThreads(std::list<std::shared_ptr<CConnectThread>>& registry);
    // Dispatches until done() or the deadline. A quit requested meanwhile does not cut the wait short: its
    // code is kept in `quit` for the caller to request again when all its waiting is over.
    bool WaitDispatching(std::chrono::steady_clock::time_point deadline, const std::function<bool()>& done,
                         std::optional<int>& quit);
    void StartStatsTimer();
    void StopStatsTimer();
    void PushStatistics();
    // Runs the once-a-second count of held-back lines while a listener runs; the last stop hands out
    // what is left.
    void UpdateLineBudgetTimer();
    void ReportHeldBackLines(int64_t second);
    void LoadIpLists();
    // Loads the TLS context unless it is loaded; false, with the reason in `error`, when it cannot be.
    bool LoadTlsContext(std::string& error);
    // Logs every account table of the program directory that others may read (they hold passwords).
    void WarnReadableTables();

    const std::string programDir_;
    MessageLoop& loop_;
    std::unique_ptr<Window> window_;
    CServerEventSink* sink_ = nullptr;
    std::unique_ptr<CAccountSource> accounts_;
    std::unique_ptr<CAccessModel> access_;
    CUploadQuota uploadQuota_;  // its own lock
    CRateBudget rateBudget_;    // its own lock
    MessageTarget* serviceWindow_ = nullptr;
    Clock clock_;

    std::string listenAddress_;  // owning thread
    std::atomic<int> port_{21}, sslPort_{990}, maxUsers_{10}, timeout_{5}, filterMode_{0};
    std::atomic<int> loginFailDelay_{keys::kLoginFailDelay.def}, maxLoginFails_{keys::kMaxLoginFails.def};
    std::atomic<int> banAfterFails_{keys::kBanAfterFails.def}, banMinutes_{keys::kBanMinutes.def};
    std::atomic<int> loginTimeout_{keys::kLoginTimeout.def}, maxPerIp_{keys::kMaxPerIp.def};
    std::atomic<int> forceTls_{keys::kForceTls.def};
    std::atomic<bool> logSessionTags_{keys::kLogSessionTags.def != 0};
    std::atomic<int> accountFailLimit_{keys::kAccountFailLimit.def}, accountLockMinutes_{keys::kAccountLockMinutes.def};
    CLoginBans bans_;        // has its own lock
    CLogBudget lineBudget_;  // has its own lock
    MessageLoop::TimerId lineBudgetTimer_ = 0;  // owning thread
    mutable std::mutex textMutex_;  // guards the texts below
    std::string welcome_ = "Welcome to Tarnwick FTP Server";
    std::string goodbye_ = "GoodBye";
    std::string acceptList_, rejectList_;
    mutable std::mutex passiveMutex_;  // guards the passive address and ports
    std::string passiveAddress_;
    int passiveLow_ = 1024, passiveHigh_ = 65535;

    std::mutex registryMutex_;  // guards both registries
    std::list<std::shared_ptr<CConnectThread>> plainThreads_;
    std::list<std::shared_ptr<CConnectThread>> tlsThreads_;
    // Every started thread until it has ended: a thread leaves its registry before its last report and
    // its last use of the server, so a stop waits here as well. Owning thread only.
    std::list<std::shared_ptr<CConnectThread>> started_;
    std::shared_ptr<Waker> waker_;

    std::unique_ptr<CListenSocket> listener_;     // open while the plain server runs
    std::unique_ptr<CListenSocket> tlsListener_;  // open while the TLS server runs
    SslContext tlsContext_;  // owning thread; each connection thread holds a reference of its own
    bool settingsLoaded_ = false;
    bool ftpService_ = true, ftpsService_ = true;
    bool saveLog_ = false;
    CLogFile log_;

    CAddressUpdater updater_;  // sets the passive address from the public-address lookup

    int statsInterval_ = 0;
    std::chrono::milliseconds lookupRetry_{30000};
    MessageLoop::TimerId statsTimer_ = 0;  // timer 1
    uint32_t bytesReceived_ = 0, bytesSent_ = 0;
    std::atomic<int> currentConnections_{0};
    std::atomic<int> handshakes_{0};  // TLS connections accepted and not yet through their handshake
    mutable std::mutex handshakeMutex_;  // guards handshakesFrom_
    std::map<std::string, int> handshakesFrom_;  // handshakes_ per AddressGroup of the client
    std::map<std::string, int> perAddress_;  // counted-in connections per AddressGroup of the client
    int totalConnections_ = 0;
    int counters_[4] = {};
};

}  // namespace tw
