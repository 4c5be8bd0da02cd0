// The options page's logic: what each control writes and gives the server, the address lists, browse.
#include "admin/OptionsModel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "admin/AdminSettings.h"
#include "admin/EventSinkAdapter.h"
#include "platform/ProgramDir.h"
#include "tests/common/TempDirTest.h"

namespace tw::admin {
namespace {

namespace fs = std::filesystem;

class OptionsModelTest : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        setenv("TARNWICK_HOME", dir.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TARNWICK_HOME");
        unsetenv("XDG_CONFIG_HOME");
        TempDirTest::TearDown();
    }
    std::string Ini() const { return (dir / "option.ini").string(); }
    std::string File() const { return ReadSmallFile(Ini()); }
    bool Has(const std::string& line) const { return File().find(line + "\r\n") != std::string::npos; }

    MessageLoop loop;
    CEventSinkAdapter sink{[] {}, [] { return std::time_t(0); }};
    std::unique_ptr<CFtpServer> server;
    std::unique_ptr<CAdminHost> host;
    std::unique_ptr<COptionsModel> model;
    void Open(const std::string& ini) {
        std::ofstream(Ini()) << ini;
        server = std::make_unique<CFtpServer>();
        host = std::make_unique<CAdminHost>(*server, sink, [] { return std::time(nullptr); });
        host->LoadSettings();
        model = std::make_unique<COptionsModel>(*host, "/opt/tarnwick/tarnserver");
    }
};

TEST_F(OptionsModelTest, SaveOptionsWritesEveryKeyUnderItsWrittenNameAndGivesTheServerThePassiveValues) {
    Open("[Server]\nport=2121\nsslport=2990\nStartup=0\n");
    OptionsForm form = model->Form();
    EXPECT_EQ(form.port, "2121");
    form.port = "3121";
    form.tlsPort = "abc";  // not a port: the stored one stays
    form.minPort = "6000";
    form.maxPort = "5000";  // written as typed
    form.passiveIp = "10.0.0.7";
    form.startup = form.autoActive = form.minimize = form.saveLog = true;
    form.autoActiveTls = true;  // not SaveOptions' key
    ASSERT_TRUE(model->SaveOptions(form));
    for (const char* line : {"startup=1", "AutoActive=1", "Minimize=1", "Savelog=1", "Port=3121", "SSLPort=2990",
                             "MinPort=6000", "MaxPort=5000", "PassiveIP=10.0.0.7"})
        EXPECT_TRUE(Has(line)) << line << " in\n" << File();
    EXPECT_EQ(File().find("AutoActiveSSL"), std::string::npos);
    EXPECT_EQ(File().find("sslport="), std::string::npos);  // one key, whatever its letters

    const AdminSettings read = ReadAdminSettings(Ini());
    EXPECT_EQ(read.port, 3121);
    EXPECT_EQ(read.tlsPort, 2990);
    EXPECT_EQ(read.minPort, 6000);
    EXPECT_EQ(read.maxPort, 5000);
    EXPECT_EQ(read.passiveIp, "10.0.0.7");
    EXPECT_TRUE(read.startup && read.autoActive && read.minimize && read.saveLog);
    EXPECT_FALSE(read.autoActiveTls);
    EXPECT_TRUE(fs::exists(dir / "config" / "autostart" / "plover.desktop"));

    const ServerSettings applied = server->AppliedSettings();
    EXPECT_EQ(applied.passiveIp, "10.0.0.7");
    EXPECT_EQ(applied.minPort, 6000);
    EXPECT_EQ(applied.maxPort, 6000);
    EXPECT_EQ(host->Settings().port, 3121);  // the next start's port

    form.startup = false;
    form.passiveIp = "Default";
    ASSERT_TRUE(model->SaveOptions(form));
    EXPECT_TRUE(Has("startup=0") && Has("PassiveIP=Default"));
    EXPECT_FALSE(fs::exists(dir / "config" / "autostart" / "plover.desktop"));
    EXPECT_EQ(server->GetPassiveAddress(), "");
}

TEST_F(OptionsModelTest, SaveTlsOptionAddsItsKeyAndLeavesThePassiveAddress) {
    Open("[Server]\nPassiveIP=10.0.0.1\n");
    OptionsForm form = model->Form();
    form.autoActiveTls = true;
    form.passiveIp = "10.0.0.2";
    ASSERT_TRUE(model->SaveTlsOption(form));
    EXPECT_TRUE(Has("AutoActiveSSL=1") && Has("Port=21") && Has("PassiveIP=10.0.0.2"));
    EXPECT_EQ(server->GetPassiveAddress(), "10.0.0.1");
    EXPECT_TRUE(ReadAdminSettings(Ini()).autoActiveTls);
}

TEST_F(OptionsModelTest, AnUnwritableFileIsReported) {
    Open("[Server]\n");
    fs::remove(Ini());
    fs::create_directory(Ini());  // a directory where the file should be
    EXPECT_FALSE(model->SaveOptions(model->Form()));
    EXPECT_FALSE(model->SaveConnectionValue(kConnectionLimits[0], 5));
    EXPECT_FALSE(model->OpenAddress("ftp://u:p@127.0.0.1"));
}

TEST(OptionsModel, PortTextsAreDigitsFrom1To65535) {
    for (const char* bad : {"", "abc", "0", "65536", "21x", "-21", "99999999999"})
        EXPECT_FALSE(COptionsModel::ParsePort(bad)) << bad;
    EXPECT_EQ(COptionsModel::ParsePort("65535"), 65535);
    EXPECT_EQ(COptionsModel::ParsePort(" 2121 "), 2121);
    EXPECT_EQ(COptionsModel::ParsePort("1"), 1);
}

TEST_F(OptionsModelTest, BrowseStoresTheUserInformationOfAnFtpAddressOnly) {
    Open("[Server]\n");
    ASSERT_TRUE(model->OpenAddress("ftp://127.0.0.1:2121"));
    ASSERT_TRUE(model->OpenAddress("ftp://@127.0.0.1"));
    ASSERT_TRUE(model->OpenAddress("http://name@dyndns.example"));
    EXPECT_EQ(File().find("DEFAULT"), std::string::npos);
    ASSERT_TRUE(model->OpenAddress("ftp://bob:pa:ss@127.0.0.1:2121"));
    EXPECT_TRUE(Has("USER=bob") && Has("PASS=pa:ss"));
    ASSERT_TRUE(model->OpenAddress("ftp://carol@127.0.0.1"));
    EXPECT_TRUE(Has("USER=carol") && Has("PASS="));
}

TEST_F(OptionsModelTest, TheAddressListHasTheDnsNameThePortSuffixAndTheUserAfterTheFirstAddress) {
    Open("[Server]\nport=2121\n[DNS]\nEnable=1\nName=home\n[DEFAULT]\nUSER=bob\nPASS=pw\n");
    EXPECT_EQ(model->AddressList({"10.0.0.5", "127.0.0.1"}),
              (std::vector<std::string>{"http://home@dyndns.tarnwick.invalid", "ftp://10.0.0.5:2121",
                                        "ftp://bob:pw@10.0.0.5:2121", "ftp://127.0.0.1:2121"}));
    Open("[Server]\n[DNS]\nEnable=0\nName=home\n[DEFAULT]\nUSER=bob\n");
    EXPECT_EQ(model->AddressList({"127.0.0.1"}),
              (std::vector<std::string>{"ftp://127.0.0.1", "ftp://bob@127.0.0.1"}));
}

TEST_F(OptionsModelTest, ThePassiveIpListSelectsTheStoredEntryWithoutCase) {
    const std::vector<std::string> list = COptionsModel::PassiveIpList({"10.0.0.5", "127.0.0.1"});
    EXPECT_EQ(list, (std::vector<std::string>{"Default", "Internet", "10.0.0.5", "127.0.0.1"}));
    const std::pair<const char*, int> cases[] = {{"", 0}, {"internet", 1}, {"127.0.0.1", 3}, {"192.0.2.1", 0},
                                                 {"DEFAULT", 0}};
    for (const auto& [stored, selected] : cases) {
        Open(std::string("[Server]\nPassiveIP=") + stored + "\n");
        EXPECT_EQ(model->PassiveIpSelection(list), selected) << stored;
    }
}

TEST_F(OptionsModelTest, ConnectionValuesAreWrittenAndGivenToTheServer) {
    Open("[Server]\n");
    for (const ConnectionLimit& limit : kConnectionLimits) {
        SCOPED_TRACE(limit.key->name);
        EXPECT_EQ(model->ConnectionValue(limit), limit.key->def);
        EXPECT_GE(limit.key->def, limit.min);
        EXPECT_LE(limit.key->def, limit.max);
        const int value = limit.min + 1;
        ASSERT_TRUE(model->SaveConnectionValue(limit, value));
        EXPECT_TRUE(Has(std::string(limit.key->name) + "=" + std::to_string(value)));
        EXPECT_EQ(server->AppliedSettings().*limit.field, value);
        EXPECT_EQ(ReadAdminSettings(Ini()).*limit.field, value);
    }
}

}  // namespace
}  // namespace tw::admin
