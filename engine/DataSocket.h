// CDataSocket: the one data connection of a control connection, as a connection end point (a passive
// listener or an active connect) and as the running listing, download or upload over it.
//
// Ownership and threads: owned by its control connection (CControlSocket, CloseDataConnection destroys
// it), which it reaches only through DataOwner, and used only on the connection thread. Transfers are
// driven by this socket's events and timers; the socket never destroys itself: at the end of a transfer it
// closes its handle and reports the end to its owner, which drops it later. Its transport (CTransport) is
// the whole I/O of a transfer: plain, or TLS when the control connection protects its data connections
// (StartTransport).
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/RateBudget.h"
#include "engine/ServerEventSink.h"
#include "engine/Transport.h"
#include "engine/UploadQuota.h"
#include "platform/EventSocket.h"
#include "platform/File.h"
#include "platform/MessageLoop.h"
#include "platform/PathBeneath.h"

namespace tw {

// The answer to a transfer whose REST point lies beyond the end of the file, from either side.
constexpr const char* kRestartBeyondEnd = "554 Restart position beyond the end of the file.";

// How an upload opens its file. STOR cuts it to nothing; after REST N it keeps the first N bytes and
// writes from there (the file is cut at N); APPE keeps it whole and writes at its end.
struct UploadStart {
    enum Mode { TRUNCATE, RESUME, APPEND };
    Mode mode = TRUNCATE;
    uint64_t offset = 0;  // RESUME: the restart point
};

// A socket call failed for want of descriptors or memory, not because of the peer.
inline bool IsResourceShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// The data-connection replies that differ between the plain and the FTPS engine (CControlSocket::Replies).
struct DataReplies {
    const char* noSocket;           // the active data socket cannot be created
    const char* noConnection;       // the active connection is not ready within the wait
    const char* noPortAddress;      // a transfer command without a PORT address or PASV
    const char* connectFailed;      // the active connect completed with an error
    const char* listingSendFailed;  // a send of a listing failed
    const char* fileSendFailed;     // a send of a file failed
    const char* peerClosed;         // the client closed the connection outside an upload
    const char* fileOpenFailed;     // the file to send cannot be opened
};

// What a data socket needs of the control connection that owns it. Connection thread only.
class DataOwner {
public:
    // The connection thread's loop: the socket's timers and nested waits.
    virtual MessageLoop& Loop() = 0;
    // The control connection's peer, in the form PeerAddress gives it.
    virtual std::string ControlPeer() const = 0;
    // Data connections are protected (TLS) now.
    virtual bool ProtectsData() const = 0;
    // The program directory, where a protected data connection finds its certificate files.
    virtual std::string ProgramDir() const = 0;
    virtual const DataReplies& Replies() const = 0;
    virtual bool SendReplyText(const std::string& text) = 0;
    virtual void Log(const std::string& text, EventLevel level) = 0;
    // The server's speed budgets and quota ledger.
    virtual CRateBudget& RateBudget() = 0;
    virtual CUploadQuota& UploadQuota() = 0;
    // Data bytes moved, which keep the connection from its idle time-out.
    virtual void CountSent(uint64_t n) = 0;
    virtual void CountReceived(uint64_t n) = 0;
    // The transfer is over and its socket closed: `reply` goes to the client, the outcome `counter`
    // (a TransferCounter, 0: none) is counted, and the data connection is dropped once this event is done.
    virtual void TransferEnded(const char* reply, int counter) = 0;

protected:
    ~DataOwner() = default;
};

class CDataSocket : public CEventSocket {
public:
    explicit CDataSocket(DataOwner& owner);
    ~CDataSocket() override;

    // ---- end point ----
    // Listens on the lowest free port of [low, high]; while every port is in use it tries again every
    // 10 ms for up to 10 s, dispatching the thread's other events meanwhile, and gives up when the thread
    // is asked to end. BIND_FAILED: no socket could be bound; LISTEN_FAILED: the bound one cannot listen.
    enum class PassiveResult { LISTENING, BIND_FAILED, LISTEN_FAILED };
    PassiveResult BindPassivePort(int low, int high);
    // Starts the active connect; false when it fails at once (LastError tells why).
    bool ConnectTo(const std::string& address, int port);
    // An accepted or connected socket is ready, or an active connect attempt has ended.
    bool Connected() const { return connected_; }
    // The active connect ended in failure; "425 Can't build data connection." has been sent.
    bool ConnectFailed() const { return connectFailed_; }
    // The passive socket could not take a connection (no descriptor left) and has stopped listening.
    bool AcceptFailed() const { return acceptFailed_; }
    // Runs once the end point exists (listening after PASV, connecting after PORT): a connection that is
    // to be protected builds its own TLS context from the program directory's files. False fails the end
    // point.
    bool PrepareTransport();
    // Runs once the connection is made and before any transfer byte: the TLS handshake, bounded in time,
    // when the owner protects its data connections now (the connection thread waits on this socket
    // meanwhile); false fails the transfer command as a connection that never came.
    bool StartTransport();

    // ---- transfers (the handlers of LIST, NLST, RETR, STOR and APPE start them) ----
    // Paces the next transfer to `bytesPerSecond` (0: no limit), shared with the other transfers of
    // `account` in the same direction (CRateBudget).
    void SetRateLimit(const std::string& account, CRateBudget::Direction direction, uint64_t bytesPerSecond);
    // The upload's place in the server's quota ledger. `account` is billed for the upload when the
    // connection is dropped, whoever the control connection is logged in as by then.
    void SetQuota(const std::string& account, const CUploadQuota::Ticket& ticket) {
        quotaAccount_ = account, quota_ = ticket;
    }
    const std::string& QuotaAccount() const { return quotaAccount_; }
    // Its `counted`: bytes received while a quota was set, the block that reached the quota included.
    const CUploadQuota::Ticket& Quota() const { return quota_; }
    // What the upload leaves stored, in KB as a rescan counts them (QuotaKb of each size), negative when
    // it made the file smaller: a hidden-file upload bills its new size less the entry it replaced once it
    // has been renamed over its target and nothing otherwise; an in-place upload bills the file's growth.
    double BilledKb() const;
    // A listing or transfer is running on this connection.
    bool Busy() const { return kind_ != Kind::NONE; }

    void StartListing(std::string text);
    // Sends the file from `restart` (the whole file when that is not below its size, e.g. negative).
    void StartDownload(const PathBeneath& path, int64_t restart);
    // Stores into the file, opened as `start` says. A TRUNCATE upload writes a hidden file beside it
    // (HiddenUploadPrefix) and renames it over the file after the last byte; until then the old file
    // stays as it was, and a failed upload removes the hidden one.
    void StartUpload(const PathBeneath& path, UploadStart start);

protected:
    // The TLS layer of a protected connection says goodbye before the handle closes: after the last
    // byte of a listing or download the client gets the close alert, which strict clients need to tell a
    // complete file from a cut one; so does a client that has ended its upload with its own alert (and may
    // wait for the answer). Anything else, a drop included, ends without it.
    void BeforeClose() override;
    void OnAccept(int error) override;
    void OnConnect(int error) override;
    void OnReceive(int error) override;
    void OnSend(int error) override;

private:
    enum class Kind { NONE, LISTING, DOWNLOAD, UPLOAD };

    long ReadSome(void* buffer, size_t length);
    long WriteSome(const void* data, size_t length);
    // A listing or download has handed its last byte over.
    bool SentEverything() const { return (kind_ == Kind::LISTING || kind_ == Kind::DOWNLOAD) && position_ == total_; }

    void Begin(Kind kind);
    // Ends the transfer: closes the file and the socket, replies, counts `counter` (0: none) and asks the
    // thread to drop the data connection.
    void Finish(const char* reply, int counter);
    void SendListing();
    void SendFile();
    long SendFileBytes(size_t want, bool& wouldBlock);
    void ReceiveFile();
    // The upload's last byte is in: a TRUNCATE upload's hidden file replaces its target. False when it
    // cannot (the reply has been sent).
    bool CompleteUpload();
    // Removes the hidden file of an upload that did not complete.
    void DiscardPartial();
    void DiscardIncoming();
    // A limited transfer has moved its bytes of the current one-second window: stops reading (upload) or
    // writing (download) until the window is over, then goes on.
    void PauseWindow(bool reading);
    // An upload that stopped reading on its own (window or event budget) goes on with what the transport
    // holds, without waiting for a socket event.
    void ContinueReading();

    DataOwner& owner_;
    SslContext tlsContext_;  // from PrepareTransport of a protected connection
    CTransport transport_;
    bool connected_ = false;
    bool connectFailed_ = false;
    bool acceptFailed_ = false;
    bool readPaused_ = false;

    Kind kind_ = Kind::NONE;
    CFile file_;
    std::string listing_;
    uint64_t position_ = 0, total_ = 0;
    std::vector<char> buffer_;
    uint64_t bufferedFrom_ = 0;  // a download's file bytes in buffer_: from this position, this many
    size_t buffered_ = 0;

    std::optional<CRateBudget::Share> pace_;  // a limited transfer's place in its account's budget
    MessageLoop::TimerId pauseTimer_ = 0;

    PathBeneath target_;                  // a TRUNCATE upload's file, written at partial_ until it is complete
    std::optional<PathBeneath> partial_;  // the hidden file while it exists
    // The bill: the size of an in-place upload's file when it was opened, the size the upload's writes
    // have brought its file to, and the size of the entry that a completed hidden file replaced.
    std::optional<uint64_t> sizeBefore_;
    uint64_t sizeNow_ = 0;
    std::optional<uint64_t> replaced_;

    std::string quotaAccount_;
    CUploadQuota::Ticket quota_;
};

}  // namespace tw
