#include "tests/unit/engine/FtpTestServer.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tw::test {

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool MakeCertificates(const std::string& dir) {
    std::string script = "cd '" + dir + "' && (" + R"sh(
        openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out RootCert.pem -days 2 -subj /CN=TestCA &&
        openssl req -newkey rsa:2048 -nodes -keyout ServerKey.pem -out server.csr -subj /CN=127.0.0.1 &&
        openssl x509 -req -in server.csr -CA RootCert.pem -CAkey ca.key -CAcreateserial -out ServerCert.pem -days 2 &&
        openssl x509 -in ServerCert.pem -outform DER -out cert.der &&
        openssl pkey -in ServerKey.pem -outform DER -out key.der &&
        openssl pkcs12 -export -in ServerCert.pem -inkey ServerKey.pem -passout pass: -out cert.p12 &&
        openssl crl2pkcs7 -nocrl -certfile ServerCert.pem -certfile RootCert.pem -out bundle.p7b &&
        openssl pkey -in ServerKey.pem -aes256 -passout pass:secret -out locked.pem &&
        openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 -subj /CN=Other
    )sh" + ") >/dev/null 2>&1";
    return std::system(script.c_str()) == 0;
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('A' + (i * 7 + i / 251) % 26);
    return s;
}

TestServer::TestServer(const std::string& home, std::function<void(CFtpServer&)> configure) {
    std::promise<void> ready;
    thread_ = std::thread([&] {
        MessageLoop loop;
        CFtpServer server;
        auto accounts = std::make_unique<MemoryAccounts>();
        Account a;
        a.id = 1;
        a.userid = "user";
        a.password = "pw";
        a.enabled = true;
        a.homedir = home;
        a.rights = *RightsSet::FromString("RWDRALCRR");
        accounts->accounts["user"] = a;
        accounts_ = accounts.get();
        server.SetAccountSource(std::move(accounts));
        server.SetPort(0);
        server.SetTimeout(10);
        server.SetLogSessionTags(false);  // the lines as tests compare them; a test may turn the tags on
        if (configure) configure(server);
        started_ = server.StartServer();
        port_ = server.ListeningPort();
        loop_ = &loop;
        server_ = &server;
        ready.set_value();
        loop.Run();
    });
    ready.get_future().wait();
}

TestServer::~TestServer() {
    // Stopped while the loop still runs: the wait for the connection threads needs a running loop.
    OnServer([](CFtpServer& s) {
        s.StopServer();
        return 0;
    });
    MessageLoop::PostThreadMessage(loop_->Thread(), WM_QUIT);
    thread_.join();
}

Conn Conn::To(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return Conn();
    }
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return Conn(fd);
}

void Conn::Send(const std::string& s) {
    ASSERT_EQ(send(fd_, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
}

std::string Conn::Line() {
    std::string line;
    char c;
    for (;;) {
        ssize_t n = recv(fd_, &c, 1, 0);
        if (n == 0) return line.empty() ? "<closed>" : line;
        if (n < 0) return line;
        line += c;
        if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) return line.substr(0, line.size() - 2);
    }
}

std::string Conn::All() {
    std::string data;
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return data;
        data.append(buf, static_cast<size_t>(n));
    }
}

bool Conn::Silent(std::chrono::milliseconds wait) {
    timeval tv{wait.count() / 1000, static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char c;
    ssize_t n = recv(fd_, &c, 1, MSG_PEEK);
    timeval back{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &back, sizeof back);
    return n < 0;
}

Session::Session(int port, bool login) : control(Conn::To(port)) {
    EXPECT_EQ(control.Line(), "220 Welcome to Tarnwick FTP Server");
    if (!login) return;
    EXPECT_EQ(Cmd("USER user"), "331 username ok, need password.");
    EXPECT_EQ(Cmd("PASS pw"), "230 User logged in. proceed.");
}

std::string Session::Cmd(const std::string& line) {
    control.Send(line + "\r\n");
    return control.Line();
}

Conn Session::Passive() {
    std::string reply = Cmd("PASV");
    int h1, h2, h3, h4, p1, p2;
    if (sscanf(reply.c_str(), "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d).", &h1, &h2, &h3, &h4, &p1, &p2) != 6) {
        ADD_FAILURE() << reply;
        return Conn();
    }
    return Conn::To(p1 * 256 + p2);
}

int ListenLoopback(int backlog, int& port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, backlog);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

std::string Session::Active() {
    if (listener >= 0) close(listener);
    int port = 0;
    listener = ListenLoopback(1, port);
    return Cmd("PORT 127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256));
}

Conn Session::Accept() {
    timeval tv{5, 0};
    setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int fd = accept(listener, nullptr, nullptr);
    close(listener);
    listener = -1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return Conn(fd);
}

Session::Result Session::Download(const std::string& command) {
    Conn data = Passive();
    Result r;
    r.first = Cmd(command);
    if (r.first.rfind("150", 0) != 0) return r;
    r.data = data.All();
    r.last = Line();
    return r;
}

Session::Result Session::Upload(const std::string& command, const std::string& bytes) {
    Conn data = Passive();
    Result r;
    r.first = Cmd(command);
    if (r.first.rfind("150", 0) != 0) return r;
    send(data.Fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    data.Close();
    r.last = Line();
    return r;
}

}  // namespace tw::test
