// libFuzzer target: what a client sends. Each input goes to a real server of this process over a loopback
// control connection, so the line assembly, the command split, the dispatcher and the argument parsers
// behind it (PORT/EPRT addresses, REST numbers, MFMT times, path cleaning and mapping) see it as a client
// would send it; the same bytes also go straight to the path mapping of a fixed account set and to the
// IP list reader. A crash, a sanitizer report or a connection that does not end is a finding.
//
// Input: the first byte says whether the client logs in first (bit 0); the rest is sent as it is, then
// CR LF QUIT CR LF and the end of the stream. Commands that open data connections are left out: the server would wait for one or
// connect to whatever listens on a loopback port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "engine/AccessModel.h"
#include "engine/ArgumentParsers.h"
#include "engine/FtpServer.h"
#include "engine/IpFilter.h"
#include "platform/MessageLoop.h"

namespace {

using namespace tw;

class FixedAccounts : public CAccountSource {
public:
    explicit FixedAccounts(const std::string& root) {
        Account a;
        a.id = 1;
        a.userid = "user";
        a.password = "pw";
        a.enabled = true;
        a.groups = {1, 2};
        a.homedir = root + "/home";
        a.rights = *RightsSet::FromString("RWDRALCRR");
        accounts_["user"] = a;
        folders_[{FolderOwner::User, 1}] = {{"pub", root + "/pub", *RightsSet::FromString("R----L---")}};
        folders_[{FolderOwner::Group, 2}] = {{"team", root + "/team", *RightsSet::FromString("RWDRALCRR")},
                                             {"gone", root + "/missing", *RightsSet::FromString("RWDRALCRR")}};
    }
    std::optional<Account> LoadAccount(const std::string& userName) override {
        auto it = accounts_.find(userName);
        return it == accounts_.end() ? std::nullopt : std::optional<Account>(it->second);
    }
    std::optional<std::vector<VirtualFolder>> LoadFolders(FolderOwner owner, int id) override {
        auto it = folders_.find({owner, id});
        return it == folders_.end() ? std::nullopt : std::optional<std::vector<VirtualFolder>>(it->second);
    }
    bool AddUsedQuota(const std::string&, double) override { return true; }

private:
    std::map<std::string, Account> accounts_;
    std::map<std::pair<FolderOwner, int>, std::vector<VirtualFolder>> folders_;
};

std::string g_root;
int g_port = 0;
FixedAccounts* g_accounts = nullptr;

void MakeTree(const std::string& root) {
    namespace fs = std::filesystem;
    for (const char* dir : {"home/sub/deeper", "pub", "team"}) fs::create_directories(root + "/" + dir);
    std::ofstream(root + "/home/a.txt") << "some bytes";
    std::ofstream(root + "/pub/readme") << "read me";
    std::ofstream(root + "/outside") << "not for clients";
    fs::create_symlink(root + "/outside", root + "/home/out-link");
    fs::create_symlink(root + "/home/sub", root + "/home/sub-link");
}

// The server runs on its own thread for the whole process.
void StartServer() {
    std::promise<int> ready;
    std::thread([&ready] {
        MessageLoop loop;
        CFtpServer server;
        auto accounts = std::make_unique<FixedAccounts>(g_root);
        g_accounts = new FixedAccounts(g_root);
        server.SetAccountSource(std::move(accounts));
        server.SetPort(0);
        server.SetMaxUsers(1000);
        // Inputs are many quick logins from one address: the login defences would only slow them down.
        server.SetLoginFailDelay(0);
        server.SetMaxLoginFails(0);
        server.SetBanAfterFails(0);
        if (!server.StartServer()) std::abort();
        ready.set_value(server.ListeningPort());
        loop.Run();
    }).detach();
    g_port = ready.get_future().get();
}

bool OpensDataConnection(std::string_view input) {
    static constexpr std::string_view kWords[] = {"PASV", "EPSV", "P@SW", "LIST", "NLST", "RETR",
                                                  "STOR", "APPE", "STOU", "MLSD"};
    std::string upper(input);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    for (std::string_view word : kWords)
        if (upper.find(word) != std::string::npos) return true;
    return false;
}

// Sends the bytes and reads until the server closes; aborts when it does not within the deadline.
void Converse(const std::string& bytes) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(g_port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) std::abort();
    // The server may end the connection before taking everything (too long a line, too many commands).
    for (size_t sent = 0; sent < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);  // the end of the stream ends the connection even where QUIT was not read
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) std::abort();  // the connection did not end
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        if (recv(fd, buffer, sizeof buffer, 0) <= 0) break;
    }
    close(fd);
}

void MapDirectly(const std::string& text) {
    CAccessModel access(*g_accounts);
    PathBeneath local;
    std::string rest;
    access.MapToLocal("user", CAccessModel::Normalize("/", CAccessModel::CleanArgument(text)), local, &rest);
    access.MapToClient("user", local.Full());
    access.ResolveFile("user", "/sub", text, ACCESS_READ, local);
    access.ResolveDir("user", "/team", text, ACCESS_DIR_CREATE, local, &rest);
    access.FileClientPath("/pub", text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char name[] = "/tmp/client-input-fuzz-XXXXXX";
    if (!mkdtemp(name)) std::abort();
    g_root = name;
    std::atexit([] { std::filesystem::remove_all(g_root); });
    MakeTree(g_root);
    StartServer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool login = data[0] & 1;
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

    ActiveAddress address;
    ParsePortArgument(input, address);
    ParseEprtArgument(input, address);
    std::time_t time;
    ParseFtpTime(input, time);
    AddressListed(input, "127.0.0.1");
    AddressListed(input, "2001:db8::1");
    AddressListed("127.0.0.*, 10.*.*.1, ::1, 2001:db8::/32, ::ffff:10.0.0.0/104", input);
    AddressGroup(input);
    IgnoredListEntries(input);
    MapDirectly(input);

    if (OpensDataConnection(input)) return 0;
    Converse((login ? "USER user\r\nPASS pw\r\n" : "") + input + "\r\nQUIT\r\n");
    return 0;
}
