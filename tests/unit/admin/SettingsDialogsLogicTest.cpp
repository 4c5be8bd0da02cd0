// The settings dialogs' plain classes: the IP filter editor's state, the IP address fields, applying an
// edited filter, the service panel's command lines, outcomes and state.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "admin/AdminHost.h"
#include "admin/EventSinkAdapter.h"
#include "admin/IpAddressParts.h"
#include "admin/IpFilterEditor.h"
#include "admin/ServerOptions.h"
#include "admin/ServiceControl.h"
#include "platform/MessageLoop.h"
#include "platform/ProgramDir.h"
#include "tests/common/TempDirTest.h"

namespace tw::admin {
namespace {

namespace fs = std::filesystem;
using Change = CIpFilterEditor::Change;
using Entries = std::vector<std::string>;

class SettingsDir : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        setenv("TARNWICK_HOME", dir.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TARNWICK_HOME");
        TempDirTest::TearDown();
    }
    void WriteFile(const std::string& name, const std::string& text) const { std::ofstream(dir / name) << text; }
};

TEST(IpFilterEditor, ListTextsSplitAtCommasSkippingEmptyEntriesAndJoinWithoutTrailingComma) {
    EXPECT_EQ(SplitListText(",10.0.0.1,, 10.0.0.2 ,"), (Entries{"10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(SplitListText(""), Entries{});
    EXPECT_EQ(SplitListText(" , "), Entries{});
    EXPECT_EQ(JoinListEntries({"1.1.1.1", "2.2.2.2"}), "1.1.1.1,2.2.2.2");
    EXPECT_EQ(JoinListEntries({}), "");
}

TEST(IpFilterEditor, TheShownListIsAlwaysTheModesList) {
    CIpFilterEditor editor(1, "10.0.0.1,10.0.0.2", ",192.168.0.5");
    EXPECT_EQ(editor.Entries(), Entries{"192.168.0.5"});
    EXPECT_TRUE(editor.HasList());
    editor.Select(0);
    editor.SetMode(2);
    EXPECT_EQ(editor.Entries(), (Entries{"10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(editor.Selected(), -1);  // a mode change leaves nothing selected
    editor.SetMode(0);
    EXPECT_TRUE(editor.Entries().empty());
    EXPECT_FALSE(editor.HasList());
    EXPECT_EQ(editor.Add("1.2.3.4"), Change::NoList);

    // A mode the dialog does not offer (3 refuses everyone) is kept as it was read and shows no list.
    CIpFilterEditor refusing(3, "10.0.0.1", "10.0.0.2");
    EXPECT_EQ(refusing.Mode(), 3);
    EXPECT_TRUE(refusing.Entries().empty());
    EXPECT_EQ(refusing.Add("1.2.3.4"), Change::NoList);
    EXPECT_EQ(refusing.AllowText(), "10.0.0.1");
    EXPECT_EQ(refusing.DenyText(), "10.0.0.2");
}

TEST(IpFilterEditor, AnAddressAddedTwiceIsKeptOnceAndOnlyTheModesTextIsRebuilt) {
    CIpFilterEditor editor(2, ",10.0.0.1", ",keep,as,read,");
    EXPECT_EQ(editor.Add("10.0.0.2"), Change::Done);
    EXPECT_EQ(editor.Selected(), 1);
    EXPECT_EQ(editor.AllowText(), "10.0.0.1,10.0.0.2");  // the leading comma goes with the rebuild
    EXPECT_EQ(editor.Add("10.0.0.1"), Change::Duplicate);
    EXPECT_EQ(editor.Selected(), 0);
    EXPECT_EQ(editor.Entries(), (Entries{"10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(editor.AllowText(), "10.0.0.1,10.0.0.2");
    EXPECT_EQ(editor.DenyText(), ",keep,as,read,");

    editor.SetMode(1);
    EXPECT_EQ(editor.Add("10.0.0.9"), Change::Done);
    EXPECT_EQ(editor.DenyText(), "keep,as,read,10.0.0.9");
    EXPECT_EQ(editor.AllowText(), "10.0.0.1,10.0.0.2");
}

TEST(IpFilterEditor, EditAndRemoveNeedASelectionAndFollowTheSelectionRules) {
    CIpFilterEditor editor(1, "", "1.1.1.1,2.2.2.2,3.3.3.3");
    EXPECT_EQ(editor.Edit("9.9.9.9"), Change::NoSelection);
    EXPECT_EQ(editor.Remove(), Change::NoSelection);
    editor.Select(3);  // past the end: no selection
    EXPECT_EQ(editor.Selected(), -1);
    EXPECT_EQ(editor.DenyText(), "1.1.1.1,2.2.2.2,3.3.3.3");

    editor.Select(1);
    EXPECT_EQ(editor.Edit("2.2.2.9"), Change::Done);
    EXPECT_EQ(editor.Selected(), 1);  // the edited entry stays selected
    EXPECT_EQ(editor.DenyText(), "1.1.1.1,2.2.2.9,3.3.3.3");
    EXPECT_EQ(editor.Edit("2.2.2.9"), Change::Done);  // unchanged: still one entry
    EXPECT_EQ(editor.Entries().size(), 3u);

    // Edited into an address already listed: kept once, the other entry selected.
    EXPECT_EQ(editor.Edit("3.3.3.3"), Change::Duplicate);
    EXPECT_EQ(editor.Entries(), (Entries{"1.1.1.1", "3.3.3.3"}));
    EXPECT_EQ(editor.Selected(), 1);
    editor.Select(1);
    EXPECT_EQ(editor.Edit("1.1.1.1"), Change::Duplicate);
    EXPECT_EQ(editor.Entries(), Entries{"1.1.1.1"});
    EXPECT_EQ(editor.Selected(), 0);

    ASSERT_EQ(editor.Add("4.4.4.4"), Change::Done);
    ASSERT_EQ(editor.Add("5.5.5.5"), Change::Done);
    editor.Select(2);
    EXPECT_EQ(editor.Remove(), Change::Done);
    EXPECT_EQ(editor.Selected(), 0);  // the first entry is selected after a removal
    EXPECT_EQ(editor.DenyText(), "1.1.1.1,4.4.4.4");
    EXPECT_EQ(editor.Remove(), Change::Done);
    EXPECT_EQ(editor.Remove(), Change::Done);
    EXPECT_EQ(editor.Selected(), -1);
    EXPECT_EQ(editor.DenyText(), "");
    EXPECT_EQ(editor.Remove(), Change::NoSelection);
}

TEST(IpAddressParts, SplitAtDotsIntoFourFieldsOfAtMostThreeCharacters) {
    EXPECT_EQ(SplitAddress("192.168.0.5"), (AddressParts{"192", "168", "0", "5"}));
    EXPECT_EQ(SplitAddress(""), (AddressParts{"", "", "", ""}));
    EXPECT_EQ(SplitAddress("10.*"), (AddressParts{"10", "*", "", ""}));
    EXPECT_EQ(SplitAddress("1..2.3.4.5"), (AddressParts{"1", "", "2", "3"}));
    EXPECT_EQ(SplitAddress("1234.5.6.7"), (AddressParts{"123", "5", "6", "7"}));
    EXPECT_EQ(JoinAddress({"10", "*", "0", "1"}), "10.*.0.1");
    EXPECT_EQ(JoinAddress(SplitAddress("1.2.3.4")), "1.2.3.4");
}

TEST(IpAddressParts, EveryFieldMustBeANumberUpTo255OrAStar) {
    EXPECT_TRUE(IsValidAddress({"0", "255", "*", "007"}));
    EXPECT_FALSE(IsValidAddress({"1", "2", "3", "256"}));
    EXPECT_FALSE(IsValidAddress({"1", "", "3", "4"}));
    EXPECT_FALSE(IsValidAddress({"1", "2*", "3", "4"}));  // a star stands for a whole part only
    EXPECT_FALSE(IsValidAddress({"1", "2", "3", "1000"}));
    EXPECT_FALSE(IsValidPart("-1"));
    for (char c : std::string("0123456789*")) EXPECT_TRUE(IsPartCharacter(c)) << c;
    for (char c : std::string("a.- x/")) EXPECT_FALSE(IsPartCharacter(c)) << c;
}

TEST(IpAddressParts, Ipv6EntriesAreOneTextThatTheFilterMustTake) {
    for (const char* entry : {"::1", "2001:db8::/32", "2001:DB8:0:0:0:0:0:1", "::ffff:10.0.0.1", "::/0"})
        EXPECT_TRUE(IsValidIpv6Entry(entry)) << entry;
    for (const char* entry : {"", "10.0.0.1", "fe80::1%eth0", "[::1]", "1::2::3", "::1/129", "::1,::2", ":"})
        EXPECT_FALSE(IsValidIpv6Entry(entry)) << entry;
    EXPECT_TRUE(IsIpv6Entry("2001:db8::/32"));
    EXPECT_FALSE(IsIpv6Entry("10.*.0.1"));
}

class FilterHostTest : public SettingsDir {
protected:
    MessageLoop loop;
    CEventSinkAdapter sink{[] {}, [] { return std::time(nullptr); }};
};

TEST_F(FilterHostTest, AnAppliedFilterReachesTheServerTheCopiesAndTheThreeFilesExactly) {
    WriteFile("option.ini", "[Server]\nport=2121\nFilterMode=0\n");
    WriteFile("acceptip.txt", "old");
    CFtpServer server;
    CAdminHost host(server, sink, [] { return std::time(nullptr); });
    host.LoadSettings();
    EXPECT_TRUE(server.IsAllowedAddress("10.0.0.5"));

    EXPECT_EQ(host.ApplyFilter(1, "127.0.0.1", "10.0.0.5,10.0.0.6"), "");
    EXPECT_FALSE(server.IsAllowedAddress("10.0.0.5"));
    EXPECT_TRUE(server.IsAllowedAddress("10.0.0.7"));
    EXPECT_EQ(host.AllowList(), "127.0.0.1");
    EXPECT_EQ(host.DenyList(), "10.0.0.5,10.0.0.6");
    EXPECT_EQ(host.Settings().filterMode, 1);
    EXPECT_EQ(ReadSmallFile(Dir() + "rejectip.txt"), "10.0.0.5,10.0.0.6");  // no line end added
    EXPECT_EQ(ReadSmallFile(Dir() + "acceptip.txt"), "127.0.0.1");
    EXPECT_EQ(ReadSmallFile(Dir() + "option.ini"), "[Server]\r\nport=2121\r\nFilterMode=1\r\n");

    EXPECT_EQ(host.ApplyFilter(2, "", ""), "");
    EXPECT_FALSE(server.IsAllowedAddress("127.0.0.1"));  // mode 2 with an empty allow list refuses all
    EXPECT_TRUE(fs::exists(dir / "acceptip.txt"));
    EXPECT_EQ(fs::file_size(dir / "acceptip.txt"), 0u);
}

TEST_F(FilterHostTest, AFileThatCannotBeWrittenIsNamedAndTheOthersAreWritten) {
    fs::create_directories(dir / "rejectip.txt");  // a directory where the file belongs
    CFtpServer server;
    CAdminHost host(server, sink, [] { return std::time(nullptr); });
    host.LoadSettings();
    EXPECT_EQ(host.ApplyFilter(2, "10.0.0.1", "10.0.0.2"), Dir() + "rejectip.txt");
    EXPECT_EQ(ReadSmallFile(Dir() + "acceptip.txt"), "10.0.0.1");
    EXPECT_EQ(ReadSmallFile(Dir() + "option.ini"), "[Server]\r\nFilterMode=2\r\n");
    EXPECT_FALSE(server.IsAllowedAddress("10.0.0.3"));  // the running filter has the edit all the same
    EXPECT_EQ(host.DenyList(), "10.0.0.2");
}

TEST_F(SettingsDir, ServerSwitchesDefaultWhenMissingAndWritesLandInSectionServer) {
    EXPECT_TRUE(ReadServerFlag(Dir(), keys::kFtpService));  // on unless written off
    EXPECT_FALSE(ReadServerFlag(Dir(), keys::kAutoActive));
    ASSERT_TRUE(WriteServerFlag(Dir(), keys::kFtpService, false));
    ASSERT_TRUE(WriteServerFlag(Dir(), keys::kAutoActive, true));
    EXPECT_FALSE(ReadServerFlag(Dir(), keys::kFtpService));
    EXPECT_TRUE(ReadServerFlag(Dir(), keys::kAutoActive));
    EXPECT_EQ(ReadSmallFile(Dir() + "option.ini"), "[Server]\r\nftpservice=0\r\nAutoActive=1\r\n");
    EXPECT_FALSE(WriteServerFlag(Dir() + "missing/", keys::kFtpService, true));
}

TEST(ServiceCommands, RootRunsTarnsvcItselfOthersGoThroughPkexecOrAreToldTheCommand) {
    const std::string dir = "/opt/tarn wick/bin/";
    const ServiceCommand root = BuildServiceCommand(ServiceSwitch::Install, dir, true, "/usr/bin/pkexec");
    EXPECT_EQ(root.argv, (Entries{"/opt/tarn wick/bin/tarnsvc", "-i"}));
    EXPECT_EQ(root.refusal, "");

    const std::pair<ServiceSwitch, const char*> switches[] = {{ServiceSwitch::Install, "-i"},
                                                              {ServiceSwitch::Uninstall, "-u"},
                                                              {ServiceSwitch::Start, "-s"},
                                                              {ServiceSwitch::Stop, "-e"}};
    for (const auto& [which, argument] : switches) {
        const ServiceCommand user = BuildServiceCommand(which, dir, false, "/usr/bin/pkexec");
        // The program path stays one argument, blanks and all.
        EXPECT_EQ(user.argv, (Entries{"/usr/bin/pkexec", "/opt/tarn wick/bin/tarnsvc", argument}));
        const ServiceCommand none = BuildServiceCommand(which, dir, false, "");
        EXPECT_TRUE(none.argv.empty());
        EXPECT_EQ(none.refusal, std::string("需要管理员权限: 请以root身份运行 '/opt/tarn wick/bin/tarnsvc' ") + argument);
    }
    EXPECT_EQ(BuildServiceCommand(ServiceSwitch::Stop, "/usr/lib/tarnwick/", false, "").refusal,
              "需要管理员权限: 请以root身份运行 /usr/lib/tarnwick/tarnsvc -e");
}

TEST(ServiceCommands, ShellWordsReadBackAsTheyWere) {
    EXPECT_EQ(ShellWord("/usr/bin/tarnsvc"), "/usr/bin/tarnsvc");
    EXPECT_EQ(ShellWord("a b"), "'a b'");
    EXPECT_EQ(ShellWord("it's"), "'it'\\''s'");
    EXPECT_EQ(ShellWord("$HOME;rm"), "'$HOME;rm'");
    EXPECT_EQ(ShellWord(""), "''");
    // The shell itself gives the words back.
    const std::string word = "/tmp/x y/it's $HOME \"q\"";
    ProcessResult echoed = RunProcess({"sh", "-c", "printf %s " + ShellWord(word)}, std::chrono::seconds(10));
    EXPECT_EQ(echoed.output, word);
}

TEST(ServiceCommands, OnlyExitStatusOneIsSuccessAndAFailureShowsStatusAndOutput) {
    EXPECT_TRUE(SwitchSucceeded({true, 1, ""}));
    EXPECT_FALSE(SwitchSucceeded({true, 0, ""}));
    EXPECT_FALSE(SwitchSucceeded({true, 126, ""}));
    EXPECT_FALSE(SwitchSucceeded({false, -1, ""}));
    EXPECT_EQ(FailureText({"/usr/bin/pkexec", "/a b/tarnsvc", "-i"}, {true, 0, "Couldn't create service\n"}),
              "命令失败: /usr/bin/pkexec '/a b/tarnsvc' -i\n退出状态: 0\nCouldn't create service");
    EXPECT_EQ(FailureText({"/x/tarnsvc", "-s"}, {false, -1, ""}), "命令失败: /x/tarnsvc -s\n命令无法启动或没有按时结束");
    EXPECT_EQ(FailureText({"/x/tarnsvc", "-s"}, {true, -1, ""}), "命令失败: /x/tarnsvc -s\n被信号终止");
}

TEST_F(SettingsDir, TheStateIsTheUnitFileAndWhatSystemctlSaysOfIt) {
    fs::create_directories(dir / "units");
    WriteFile("systemctl", "#!/bin/sh\necho \"$*\" >> \"$(dirname \"$0\")/calls\"\ncat \"$(dirname \"$0\")/state\"\n");
    fs::permissions(dir / "systemctl", fs::perms::owner_all);
    WriteFile("state", "inactive\n");
    setenv("TARNWICK_UNIT_DIR", (dir / "units").c_str(), 1);
    setenv("TARNWICK_SYSTEMCTL", (dir / "systemctl").c_str(), 1);

    ServiceState state = QueryServiceState();
    EXPECT_FALSE(state.installed);
    EXPECT_EQ(StateText(state), "服务状态: 未安装");
    WriteFile("units/tarnwick-ftp.service", "[Unit]\n");
    state = QueryServiceState();
    EXPECT_TRUE(state.installed);
    EXPECT_EQ(state.activeState, "inactive");
    EXPECT_EQ(StateText(state), "服务状态: 已安装, 未运行 (inactive)");
    WriteFile("state", "active\n");
    EXPECT_EQ(StateText(QueryServiceState()), "服务状态: 已安装, 正在运行");
    EXPECT_EQ(ReadSmallFile(Dir() + "calls"), "is-active tarnwick-ftp.service\nis-active tarnwick-ftp.service\n"
                                                  "is-active tarnwick-ftp.service\n");
    EXPECT_EQ(StateText({true, ""}), "服务状态: 已安装, 未运行");

    // A run captures what the switch wrote to both streams and reads the state after it.
    const ServiceOutcome outcome = RunServiceCommand(
        {"sh", "-c", "echo done; echo failed >&2; echo inactive > \"$0\"; exit 0", (dir / "state").string()},
        std::chrono::seconds(10));
    EXPECT_TRUE(outcome.ran);
    EXPECT_EQ(outcome.result.output, "done\nfailed\n");
    EXPECT_EQ(outcome.state.activeState, "inactive");
    EXPECT_FALSE(RunServiceCommand({}, std::chrono::seconds(10)).ran);

    unsetenv("TARNWICK_UNIT_DIR");
    unsetenv("TARNWICK_SYSTEMCTL");
}

}  // namespace
}  // namespace tw::admin
