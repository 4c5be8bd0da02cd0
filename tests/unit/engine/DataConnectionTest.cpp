// PORT and PASV: parsing, the bounce and theft refusals, the passive port choice, active connects.
#include <gtest/gtest.h>

#include "tests/unit/engine/FtpTestServer.h"
#include "engine/Messages.h"

namespace tw::test {
namespace {

// A loopback socket bound to `port` (0: any) and listening, or -1.
int Occupy(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int PortOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

class DataConnection : public ::testing::Test {
protected:
    TempDir home;
    TestServer server{home.Path()};
};

TEST_F(DataConnection, PortAcceptsOnlyTheClientsOwnAddressAndUnprivilegedPorts) {
    Session s(server.Port());
    EXPECT_EQ(s.Cmd("PORT 127,0,0,1,4"), "501 Syntax error: Invalid parameter.");
    EXPECT_EQ(s.Cmd("PORT 127,0,0,1,4,1,1"), "501 Syntax error: Invalid parameter.");
    const char* refused[] = {"PORT 10,0,0,1,4,1",    "PORT 127,0,0,2,4,1",  "PORT 127,0,0,1,3,255",
                             "PORT 127,0,0,1,0,21",  "PORT a,b,c,d,4,1",    "PORT 127,0,0,1,256,1",
                             "PORT 127,0,0,1,-4,1",  "PORT 127,0,0,1,,1"};
    for (const char* cmd : refused) EXPECT_EQ(s.Cmd(cmd), "504 Command not implemented for that parameter.") << cmd;
    // A refused PORT changes nothing: no address is stored.
    EXPECT_EQ(s.Cmd("LIST"), "150 Accepted data connection.");
    EXPECT_EQ(s.Line(), "425 Can't build data connection.");
    EXPECT_EQ(s.Cmd("PORT 127, 0 ,0,1,4,1"), "200 Port command successful.");
}

TEST_F(DataConnection, ActiveTransferThenThePortIsForgotten) {
    WriteFile(home / "a.txt", "active bytes");
    Session s(server.Port());
    ASSERT_EQ(s.Active(), "200 Port command successful.");
    EXPECT_EQ(s.Cmd("RETR a.txt"), "150 File status okay; about to open data connection.");
    Conn data = s.Accept();
    ASSERT_TRUE(data.Ok());
    EXPECT_EQ(data.All(), "active bytes");
    EXPECT_EQ(s.Line(), "226 Transfer complete.");
    EXPECT_EQ(s.Cmd("RETR a.txt"), "150 File status okay; about to open data connection.");
    EXPECT_EQ(s.Line(), "425 Can't build data connection.");
}

TEST_F(DataConnection, RefusedActiveConnectAnswersOnceAndTheControlConnectionGoesOn) {
    WriteFile(home / "a.txt", "x");
    Session s(server.Port());
    int fd = Occupy(0);
    int port = PortOf(fd);
    close(fd);  // nothing listens there now
    ASSERT_EQ(s.Cmd("PORT 127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256)),
              "200 Port command successful.");
    EXPECT_EQ(s.Cmd("RETR a.txt"), "150 File status okay; about to open data connection.");
    EXPECT_EQ(s.Line(), "425 Can't build data connection.");
    EXPECT_EQ(s.Cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(DataConnection, PassiveTakesTheLowestFreePortOfTheRange) {
    // Two adjacent free ports, the lower one taken.
    int low = -1, taken = -1;
    for (int tries = 0; tries < 20 && taken < 0; ++tries) {
        int fd = Occupy(0);
        int p = PortOf(fd);
        int next = Occupy(p + 1);
        if (p < 65535 && next >= 0) {
            close(next);
            low = p;
            taken = fd;
        } else {
            close(fd);
        }
    }
    ASSERT_GE(taken, 0);
    server.OnServer([&](CFtpServer& s) {
        s.SetPassivePorts(low, low + 1);
        return 0;
    });
    Session s(server.Port());
    std::string expected = "227 Entering Passive Mode (127,0,0,1," + std::to_string((low + 1) / 256) + "," +
                           std::to_string((low + 1) % 256) + ").";
    EXPECT_EQ(s.Cmd("PASV"), expected);
    EXPECT_EQ(s.Cmd("P@SW"), expected);  // the earlier passive socket was dropped first
    close(taken);
    EXPECT_EQ(s.Cmd("PASV"), "227 Entering Passive Mode (127,0,0,1," + std::to_string(low / 256) + "," +
                                 std::to_string(low % 256) + ").");
}

TEST_F(DataConnection, PassivePortRefusesOtherAddresses) {
    WriteFile(home / "a.txt", "mine");
    Session s(server.Port());
    std::string reply = s.Cmd("PASV");
    int h[4], p1, p2;
    ASSERT_EQ(sscanf(reply.c_str(), "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d).", &h[0], &h[1], &h[2], &h[3], &p1, &p2), 6);
    int port = p1 * 256 + p2;
    // A third party from another loopback address gets in first and is closed at once.
    int thief = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = inet_addr("127.0.0.2");
    ASSERT_EQ(bind(thief, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(thief, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    Conn stolen(thief);
    timeval tv{5, 0};
    setsockopt(thief, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_EQ(stolen.All(), "");  // closed without data
    Conn data = Conn::To(port);
    EXPECT_EQ(s.Cmd("RETR a.txt"), "150 File status okay; about to open data connection.");
    EXPECT_EQ(data.All(), "mine");
    EXPECT_EQ(s.Line(), "226 Transfer complete.");
}

TEST_F(DataConnection, PipelinedTransfersKeepTheirOwnDataConnections) {
    // The drop that ends the first transfer must not take the passive socket of the second.
    WriteFile(home / "empty", "");
    WriteFile(home / "f.txt", "x");
    Session s(server.Port());
    s.control.Send("PASV\r\nRETR empty\r\nPASV\r\nLIST\r\n");
    for (int transfer = 0; transfer < 2; ++transfer) {
        std::string reply = s.Line();
        int h[4], p1, p2;
        ASSERT_EQ(sscanf(reply.c_str(), "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d).", &h[0], &h[1], &h[2], &h[3],
                         &p1, &p2),
                  6)
            << reply;
        Conn data = Conn::To(p1 * 256 + p2);
        EXPECT_EQ(s.Line().substr(0, 4), "150 ");
        std::string bytes = data.All();
        EXPECT_EQ(s.Line(), "226 Transfer complete.") << transfer;
        if (transfer == 1) {
            EXPECT_NE(bytes.find(" f.txt\r\n"), std::string::npos);
        }
    }
    EXPECT_EQ(s.Cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(DataConnection, AborWithoutATransferAnswersOnlyItsOwnLine) {
    Session s(server.Port());
    EXPECT_EQ(s.Cmd("ABOR"), "226 ABOR command successful.");
    Conn data = s.Passive();
    EXPECT_EQ(s.Cmd("xyzABOR"), "226 ABOR command successful.");  // the passive socket is dropped
    EXPECT_EQ(s.Cmd("LIST"), "150 Accepted data connection.");
    EXPECT_EQ(s.Line(), "425 Can't build data connection.");
}

}  // namespace
}  // namespace tw::test
