// In-process server for protocol tests: CFtpServer on its own thread with accounts from memory, and a
// blocking loopback client with a data-connection helper.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "engine/FtpServer.h"

namespace tw::test {

// Accounts kept in memory; the quota changes are recorded.
class MemoryAccounts : public CAccountSource {
public:
    std::optional<Account> LoadAccount(const std::string& userName) override {
        std::lock_guard lock(mutex);
        auto it = accounts.find(userName);
        if (it == accounts.end()) return std::nullopt;
        return it->second;
    }
    std::optional<std::vector<VirtualFolder>> LoadFolders(FolderOwner owner, int id) override {
        std::lock_guard lock(mutex);
        auto& table = owner == FolderOwner::User ? userFolders : groupFolders;
        auto it = table.find(id);
        if (it == table.end()) return std::nullopt;
        return it->second;
    }
    bool AddUsedQuota(const std::string& userName, double kb) override {
        std::lock_guard lock(mutex);
        auto it = accounts.find(userName);
        if (it == accounts.end()) return false;
        it->second.quotaCurrent = std::max(0.0, it->second.quotaCurrent + kb);
        return true;
    }
    void Update(const std::string& user, const std::function<void(Account&)>& change) {
        std::lock_guard lock(mutex);
        change(accounts[user]);
    }
    double QuotaCurrent(const std::string& user) {
        std::lock_guard lock(mutex);
        return accounts[user].quotaCurrent;
    }

    std::mutex mutex;
    std::map<std::string, Account> accounts;
    std::map<int, std::vector<VirtualFolder>> userFolders, groupFolders;
};

// A temporary directory tree, removed at the end.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/tarnwick-test-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
// Certificate sets made with the openssl command in `dir`: ca.key and RootCert.pem (a CA), ServerKey.pem
// and ServerCert.pem (signed by it), the certificate as cert.der, cert.p12 (no password) and bundle.p7b,
// the key as key.der and locked.pem (pass phrase), and an unrelated pair other.key / other.pem.
bool MakeCertificates(const std::string& dir);
// A socket listening on a free loopback port (given in `port`).
int ListenLoopback(int backlog, int& port);
// `n` bytes of a fixed pattern that shows misplaced offsets.
std::string Pattern(size_t n);

// Owns a server on its own thread listening on a free loopback port; the account "user" with password
// "pw" and all rights has its home in `home`. `configure` runs on the server thread before the start.
class TestServer {
public:
    explicit TestServer(const std::string& home, std::function<void(CFtpServer&)> configure = {});
    bool Started() const { return started_; }
    ~TestServer();
    int Port() const { return port_; }
    MemoryAccounts& Accounts() { return *accounts_; }
    // Runs `fn` on the server thread and returns its result.
    template <typename F>
    auto OnServer(F fn) {
        std::packaged_task<decltype(fn(*server_))()> task([&] { return fn(*server_); });
        auto result = task.get_future();
        loop_->PostTask([&] { task(); });
        return result.get();
    }

private:
    std::thread thread_;
    MessageLoop* loop_ = nullptr;
    CFtpServer* server_ = nullptr;
    MemoryAccounts* accounts_ = nullptr;
    bool started_ = false;
    int port_ = 0;
};

// A blocking socket with a receive time-out.
class Conn {
public:
    explicit Conn(int fd = -1) : fd_(fd) {}
    static Conn To(int port);
    Conn(Conn&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    ~Conn() { Close(); }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool Ok() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Send(const std::string& s);
    // One line without CR LF; "" on time-out, "<closed>" at the end of the stream.
    std::string Line();
    // Everything until the peer closes (or the time-out).
    std::string All();
    // True when nothing arrives within `wait`.
    bool Silent(std::chrono::milliseconds wait);

private:
    int fd_;
};

// A control connection, logged in as "user".
class Session {
public:
    explicit Session(int port, bool login = true);
    ~Session() {
        if (listener >= 0) close(listener);
    }
    // Sends a command and returns the next reply line.
    std::string Cmd(const std::string& line);
    std::string Line() { return control.Line(); }
    // PASV, then connects to the announced port.
    Conn Passive();
    // Listens on a loopback port and sends PORT for it; Accept() takes the server's connection.
    std::string Active();
    Conn Accept();
    // PASV + the command: the 150 line, the data, the final line.
    struct Result {
        std::string first, data, last;
    };
    Result Download(const std::string& command);
    Result Upload(const std::string& command, const std::string& bytes);

    Conn control;
    int listener = -1;
};

}  // namespace tw::test
