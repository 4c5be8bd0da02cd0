// option.ini's one reader and writer: the defaults, the number rule, names without case, the round trip.
#include "engine/ServerSettings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "engine/FtpServer.h"
#include "engine/LogFile.h"
#include "platform/MessageLoop.h"
#include "platform/ProgramDir.h"
#include "tests/common/TempDirTest.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

class ServerSettingsTest : public test::TempDirTest {
protected:
    std::string path = (dir / "option.ini").string();
    void Write(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    ServerSettings Read() const { return ReadServerSettings(CIniFile(path)); }
};

TEST_F(ServerSettingsTest, AMissingOrEmptyFileGivesEveryDefault) {
    for (const char* text : {static_cast<const char*>(nullptr), "", "[Server]\n", "[DNS]\nport=1\n"}) {
        if (text) Write(text);
        const ServerSettings s = Read();
        EXPECT_FALSE(s.saveLog);
        EXPECT_EQ(s.filterMode, 0);
        EXPECT_EQ(s.port, 21);
        EXPECT_EQ(s.tlsPort, 990);
        EXPECT_EQ(s.maxUsers, 20);
        EXPECT_EQ(s.timeout, 10);
        EXPECT_EQ(s.minPort, 1024);
        EXPECT_EQ(s.maxPort, 65535);
        EXPECT_EQ(s.passiveIp, "");
        EXPECT_EQ(s.loginFailDelay, 1000);
        EXPECT_EQ(s.maxLoginFails, 3);
        EXPECT_EQ(s.banAfterFails, 10);
        EXPECT_EQ(s.banMinutes, 10);
        EXPECT_EQ(s.accountFailLimit, 20);
        EXPECT_EQ(s.accountLockMinutes, 10);
        EXPECT_EQ(s.loginTimeout, 60);
        EXPECT_EQ(s.maxPerIp, 0);
        EXPECT_TRUE(s.logSessionTags);
        EXPECT_TRUE(s.ftpService);
        EXPECT_TRUE(s.ftpsService);
    }
}

TEST_F(ServerSettingsTest, AValueThatDoesNotStartWithANumberGivesTheDefault) {
    Write("[Server]\nport=abc\nsslport=\nmaxusers=42x\ntimeout= -3\nMinPort=+2000\nMaxPort=- 5\n"
          "LoginTimeout=x60\nMaxPerIP=  7 \nftpservice=0\nftpsservice=no\nSavelog=2\nBanMinutes=99999999999\n");
    const ServerSettings s = Read();
    EXPECT_EQ(s.port, 21);
    EXPECT_EQ(s.tlsPort, 990);
    EXPECT_EQ(s.maxUsers, 42);
    EXPECT_EQ(s.timeout, -3);
    EXPECT_EQ(s.minPort, 2000);
    EXPECT_EQ(s.maxPort, 65535);
    EXPECT_EQ(s.loginTimeout, 60);
    EXPECT_EQ(s.maxPerIp, 7);
    EXPECT_FALSE(s.ftpService);
    EXPECT_TRUE(s.ftpsService);  // "no" is no number: the default 1
    EXPECT_TRUE(s.saveLog);      // a flag is any number but 0
    EXPECT_EQ(s.banMinutes, INT_MAX);
}

TEST_F(ServerSettingsTest, SectionsAndNamesCompareWithoutCase) {
    Write("[SERVER]\nPORT=2121\nSslPort=2990\nMAXPERIP=4\nloginfaildelay=5\npassiveip=Internet\n"
          "[dns]\nENABLE=1\nname=host\n");
    const CIniFile ini(path);
    const ServerSettings s = ReadServerSettings(ini);
    EXPECT_EQ(s.port, 2121);
    EXPECT_EQ(s.tlsPort, 2990);
    EXPECT_EQ(s.maxPerIp, 4);
    EXPECT_EQ(s.loginFailDelay, 5);
    EXPECT_EQ(s.passiveIp, "Internet");
    EXPECT_TRUE(ReadFlag(ini, keys::kDnsEnable));
    EXPECT_EQ(ReadText(ini, keys::kDnsName), "host");
    EXPECT_EQ(ReadText(ini, keys::kDnsLookupUrl), keys::kDnsLookupUrl.def);
    EXPECT_EQ(ReadText(ini, keys::kDnsUpdateUrl, "fallback"), "fallback");
}

TEST_F(ServerSettingsTest, WrittenValuesReadBackUnderTheWrittenNames) {
    // Keys present under another spelling are replaced, not added twice.
    Write("[Server]\nport=21\nsslport=990\nStartup=1\n");
    CIniFile ini(path);
    ASSERT_TRUE(WriteInt(ini, keys::kPort, 2121));
    ASSERT_TRUE(WriteInt(ini, keys::kTlsPort, 2990));
    ASSERT_TRUE(WriteInt(ini, keys::kMinPort, 6000));
    ASSERT_TRUE(WriteInt(ini, keys::kMaxPort, 5000));  // as given, even below MinPort
    ASSERT_TRUE(WriteText(ini, keys::kPassiveIp, "10.0.0.9"));
    ASSERT_TRUE(WriteFlag(ini, keys::kSaveLog, true));
    ASSERT_TRUE(WriteFlag(ini, keys::kStartup, false));
    ASSERT_TRUE(WriteInt(ini, keys::kMaxPerIp, 2));
    ASSERT_TRUE(WriteFlag(ini, keys::kLogSessionTags, false));
    ASSERT_TRUE(WriteText(ini, keys::kDefaultUser, "bob"));

    const std::string text = ReadSmallFile(path);
    EXPECT_EQ(text.find("port=21"), std::string::npos);
    EXPECT_EQ(text.find("sslport"), std::string::npos);
    for (const char* line : {"Port=2121", "SSLPort=2990", "MinPort=6000", "MaxPort=5000", "PassiveIP=10.0.0.9",
                             "Savelog=1", "startup=0", "MaxPerIP=2", "[DEFAULT]", "USER=bob"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    EXPECT_EQ(text.find("Startup=1"), std::string::npos);

    const CIniFile again(path);
    const ServerSettings s = ReadServerSettings(again);
    EXPECT_EQ(s.port, 2121);
    EXPECT_EQ(s.tlsPort, 2990);
    EXPECT_EQ(s.minPort, 6000);
    EXPECT_EQ(s.maxPort, 5000);
    EXPECT_EQ(s.passiveIp, "10.0.0.9");
    EXPECT_TRUE(s.saveLog);
    EXPECT_EQ(s.maxPerIp, 2);
    EXPECT_FALSE(s.logSessionTags);
    EXPECT_FALSE(ReadFlag(again, keys::kStartup));
    EXPECT_EQ(ReadText(again, keys::kDefaultUser), "bob");
}

TEST_F(ServerSettingsTest, AFileThatCannotBeWrittenIsReported) {
    // A directory that is not there cannot take the file, whatever the rights of the test.
    CIniFile ini((dir / "absent" / "option.ini").string());
    EXPECT_FALSE(WriteInt(ini, keys::kPort, 2121));
    EXPECT_FALSE(fs::exists(dir / "absent"));
}

TEST_F(ServerSettingsTest, TheServiceHostWritesWhatItsStartReportsToTheProgramDirectorysDayFile) {
    Write("[Server]\nSavelog=1\n");
    std::ofstream(dir / "acceptip.txt") << "127.0.*";
    setenv("TARNWICK_HOME", dir.c_str(), 1);
    MessageLoop loop;
    struct ServiceWindow : MessageTarget {
        void OnMessage(unsigned, uintptr_t, intptr_t) override {}
    } window;
    {
        CFtpServer server;
        server.SetServiceWindow(&window);
        server.LoadSettings(nullptr);
    }
    unsetenv("TARNWICK_HOME");
    const fs::path today = dir / "log" / (LocalTimeText(std::time(nullptr), "%Y%m%d") + ".txt");
    const std::string day = ReadSmallFile(today.string());
    EXPECT_NE(day.find("IP list acceptip.txt: ignored entry \"127.0.*\"."), std::string::npos) << day;
}

// The filter as the server loads it: the mode from option.ini, the lists from the program directory's files.
TEST_F(ServerSettingsTest, TheFilterTakesItsModeAndListsFromTheProgramDirectory) {
    struct Case {
        int mode;
        const char* list;  // the deny list in mode 1, the allow list otherwise; nullptr: no file
        bool admitted;
    };
    const Case cases[] = {
        {0, "127.0.0.1", true},
        {1, "127.0.0.1", false},
        {1, ",127.0.0.1", false},
        {1, "10.0.0.1 , 127.0.0.1 ", false},
        {1, "127.0.0.*", false},
        {1, "127.0.0.10,127.0.0.11,27.0.0.1", true},  // the address only occurs inside other entries
        {1, "", true},
        {1, nullptr, true},
        {2, "127.0.0.1", true},
        {2, "127.0.0.*", true},
        {2, "*.*.*.*", true},
        {2, "192.168.0.5,127.0.0.1", true},
        {2, "127.0.0.10", false},
        {2, "127.0.0.1.5", false},
        {2, "127.0.*", false},
        {2, nullptr, false},
        {3, "127.0.0.1", false},
    };
    setenv("TARNWICK_HOME", dir.c_str(), 1);
    MessageLoop loop;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", list " << (c.list ? c.list : "(no file)"));
        fs::remove(dir / "acceptip.txt");
        fs::remove(dir / "rejectip.txt");
        Write("[Server]\nFilterMode=" + std::to_string(c.mode) + "\n");
        if (c.list) std::ofstream(dir / (c.mode == 1 ? "rejectip.txt" : "acceptip.txt"), std::ios::binary) << c.list;
        CFtpServer server;
        server.LoadSettings(nullptr);
        EXPECT_EQ(server.IsAllowedAddress("127.0.0.1"), c.admitted);
    }
    unsetenv("TARNWICK_HOME");
}

}  // namespace
}  // namespace tw
