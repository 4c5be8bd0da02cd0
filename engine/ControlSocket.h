// CControlSocket: one client's control channel. Cuts the byte stream into command lines, dispatches them
// through the command table and sends replies. Keeps the per-connection state of the commands (Session)
// and owns the data socket, which reaches it only as its DataOwner.
//
// Threads: lives on its connection thread only; no locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <fmt/printf.h>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ArgumentParsers.h"
#include "engine/DataSocket.h"
#include "engine/Listing.h"
#include "engine/ServerEventSink.h"
#include "engine/Session.h"
#include "engine/Transport.h"
#include "platform/EventSocket.h"
#include "platform/MessageLoop.h"

namespace tw {

class CConnectThread;
struct CommandRow;

class CControlSocket : public CEventSocket, private DataOwner {
    friend class CConnectThread;  // runs the handshake of the transport

public:
    explicit CControlSocket(CConnectThread& thread);
    ~CControlSocket() override;

    CConnectThread& Thread() const { return thread_; }
    // The per-connection state of the commands; the handlers change it.
    const Session& State() const { return session_; }

    // The only way a reply reaches the client: appends CR LF, logs it, ends the connection when dead.
    template <typename... Args>
    bool SendReply(const char* format, const Args&... args) {
        return SendReplyText(fmt::sprintf(format, args...));
    }
    bool SendReplyText(const std::string& text) override;
    // An event line of this connection, written within the line budget of its address.
    void Log(const std::string& text, EventLevel level) override;

    // Dispatcher.
    bool GetNextCommand(std::string& command, std::string& argument);
    // The upper-cased command word of a line (empty when the line begins with a blank).
    static std::string CommandWord(std::string_view line);
    void ProcessCommand();

    // ---- data connections, listings and transfers (DataConnection.cpp, Listing.cpp, Transfers.cpp) ----
    // Drops the data connection and settles the quota of an upload.
    void CloseDataConnection();
    // Connects to the PORT address or waits (dispatching, at most 10 s) for the client to connect to the
    // PASV port. Meanwhile control lines are received and kept for after the wait; ABOR, QUIT or BYE
    // among them, or the control connection closing, end the wait at once. True when a data connection
    // is ready; on false a reply has been sent, unless the control connection is gone.
    bool OpenDataConnection();
    // The data-connection replies of this connection's listener (the TLS one numbers some of them).
    const DataReplies& Replies() const override;
    // Data connections are protected: after PROT P, and always on the TLS listener.
    bool ProtectsData() const override { return protectData_; }

    void OnPort(const std::string& arg);
    void OnPasv(const std::string& arg);
    void OnList(const std::string& arg);
    void OnNlst(const std::string& arg);
    void OnMlsd(const std::string& arg);
    void OnMlst(const std::string& arg);
    void OnEprt(const std::string& arg);
    void OnEpsv(const std::string& arg);
    void OnRest(const std::string& arg);
    void OnRetr(const std::string& arg);
    void OnStor(const std::string& arg);
    void OnAppe(const std::string& arg);
    void OnAbor(const std::string& arg);

    // ---- login and file commands (LoginCommands.cpp, FileCommands.cpp) ----
    void OnUser(const std::string& arg);
    void OnPass(const std::string& arg);
    void OnCwd(const std::string& arg);
    void OnCdup(const std::string& arg);
    void OnPwd(const std::string& arg);
    void OnMkd(const std::string& arg);
    void OnRmd(const std::string& arg);
    void OnDele(const std::string& arg);
    void OnRnfr(const std::string& arg);
    void OnRnto(const std::string& arg);
    void OnSize(const std::string& arg);
    void OnMdtm(const std::string& arg);
    void OnMfmt(const std::string& arg);
    // SITE and its subcommands (SiteCommands.cpp).
    void OnSite(const std::string& arg);

    // Handlers of the commands that need no file system or data connection.
    void OnNoop(const std::string& arg);
    void OnSyst(const std::string& arg);
    void OnType(const std::string& arg);
    void OnHelp(const std::string& arg);
    void OnQuit(const std::string& arg);
    void OnFeat(const std::string& arg);
    void OnOpts(const std::string& arg);
    // Only stream mode and file structure (RFC 959's minimum).
    void OnMode(const std::string& arg);
    void OnStru(const std::string& arg);
    // TLS (RFC 4217): AUTH switches the plain listener's control connection to TLS; PBSZ and PROT follow
    // a handshake (on the TLS listener only PROT P: its data connections are always protected).
    void OnAuth(const std::string& arg);
    void OnPbsz(const std::string& arg);
    void OnProt(const std::string& arg);

protected:
    void OnReceive(int error) override;
    void OnClose(int error) override;
    // The TLS close alert goes out before the socket closes.
    void BeforeClose() override;

private:
    // ---- the data socket's owner (DataOwner) ----
    MessageLoop& Loop() override;
    std::string ControlPeer() const override { return PeerAddress(); }
    std::string ProgramDir() const override;
    CRateBudget& RateBudget() override;
    CUploadQuota& UploadQuota() override;
    void CountSent(uint64_t n) override;
    void CountReceived(uint64_t n) override;
    void TransferEnded(const char* reply, int counter) override;

    // ---- data connections, listings and transfers ----
    std::unique_ptr<CDataSocket> CreateDataSocket();
    enum class ListFormat { LONG, NAMES, FACTS };  // LIST, NLST, MLSD
    void SendListing(const std::string& arg, ListFormat format);
    // The listing text of a LIST, NLST or MLSD argument; false when a reply has been sent instead.
    bool BuildListing(const std::string& arg, std::string& text, ListFormat format);
    // Answers a parsed PORT or EPRT argument and takes its address when it passes the checks they share.
    void SetActiveAddress(AddressParse parsed, const ActiveAddress& target, const char* accepted,
                          const char* syntaxError);
    // Opens the passive listener of PASV or EPSV; its port, or 0 when a reply has been sent.
    int OpenPassivePort();
    // After "EPSV ALL" only EPSV sets up data connections; true when the command has been refused.
    bool RefuseAfterEpsvAll();
    void StoreFile(const std::string& arg, bool append);
    // Answers a transfer command that comes while another transfer runs; true when it did.
    bool RefuseWhileBusy();
    // Destroys the data socket and settles its upload's quota; the PORT and PASV state stays.
    void DropDataSocket();
    // ForceTLS 2: a login other than anonymous sets up data connections only after PROT P. True when the
    // command has been refused.
    bool RefuseClearData();

    std::unique_ptr<CDataSocket> dataSocket_;  // at most one per connection
    bool epsvAll_ = false;
    unsigned mlstFacts_ = FACT_ALL;  // the MLSD and MLST facts selected by OPTS MLST

    // ---- the control channel ----
    // The command table of this connection's listener.
    std::span<const CommandRow> Commands() const;
    // The TLS connection can be set up here (its context loaded), or is set up already.
    bool TlsAvailable() const;
    // ForceTLS 1 and 2 exempt the anonymous login.
    bool IsAnonymous() const;
    long ReadSome(void* buffer, size_t length);
    // Bytes taken by one receive, and the most the receive buffer holds without a line end. A TLS read
    // gathers whole records (many command lines at once) and must drain the layer, which no socket event
    // announces.
    size_t MaxRead() const { return transport_.IsTls() ? CTransport::kTlsReadLimit : 512; }
    size_t MaxBuffered() const { return transport_.IsTls() ? 8192 : 4096; }
    void ReceiveChunk();
    // Appends received bytes to the receive buffer. A NUL cuts its line: the bytes from it up to that
    // line's CR LF are dropped, and the line and those after it are handled.
    void TakeBytes(std::string_view added);
    void AssembleLines();
    // Holds back reading and dispatching until `due`, then runs `then` and goes on. A failed login is
    // answered this way: on the connection's own timer, so nobody else waits.
    void HoldCommands(std::chrono::steady_clock::time_point due, std::function<void()> then);
    // Counts a command before login; false (the connection ended) when there are too many.
    bool CountCommandBeforeLogin();
    void EndConnection();  // closes the socket and asks the thread to end

    CConnectThread& thread_;
    CTransport transport_;
    // Who is logged in, the command values and the login defences; while it awaits a data connection,
    // received lines stay in the receive buffer.
    Session session_;
    bool protectData_;  // PROT P in effect
    std::vector<char> readBuffer_;  // one receive
    std::string receiveBuffer_;     // bytes not yet cut into lines
    std::deque<std::string> pendingLines_;
    // A complete line in the receive buffer ends the wait for a data connection (ABOR, QUIT, BYE).
    bool LineEndsDataWait() const;

    bool cutting_ = false;  // dropping the rest of a line after a NUL
    bool heldCr_ = false;   // the buffer's last byte is a CR of the cut part, kept in case LF follows

    MessageLoop::TimerId holdTimer_ = 0;
    // The word of the command dispatched before this one: RNTO uses the rename source only straight after RNFR.
    std::string previousCommand_;
};

}  // namespace tw
