// LIST and NLST: the line format, options, virtual folders in the root, and the replies.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>

#include "FtpTestServer.h"
#include "engine/Listing.h"

namespace tw::test {
namespace {

class UtcZone : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

// 2024-03-05 14:07:00 UTC
constexpr std::time_t kNow = 1709647620;

TEST_F(UtcZone, ListDateShowsTheTimeUpTo356DaysBackAndInTheFuture) {
    EXPECT_EQ(FormatListDate(kNow - 3600, kNow), " Mar 05 13:07 ");
    EXPECT_EQ(FormatListDate(kNow + 86400 * 30, kNow), " Apr 04 14:07 ");
    EXPECT_EQ(FormatListDate(kNow - 356 * 86400 - 86399, kNow), " Mar 14 14:07 ");  // 356 whole days
    EXPECT_EQ(FormatListDate(kNow - 357 * 86400, kNow), " Mar 14 2023 ");
    EXPECT_EQ(FormatListDate(kNow - 400 * 86400, kNow), " Jan 30 2023 ");
}

TEST_F(UtcZone, ListLineColumns) {
    DirEntry file{"report.txt", false, 1234, kNow - 3600};
    EXPECT_EQ(ListLine(file, kNow), "-rwx------ 1 user group           1234 Mar 05 13:07 report.txt\r\n");
    DirEntry dir{"sub", true, 0, kNow - 400 * 86400};
    EXPECT_EQ(ListLine(dir, kNow), "drwx------ 1 user group              0 Jan 30 2023 sub\r\n");
    DirEntry huge{"big", false, 123456789012345678ull, kNow};
    EXPECT_EQ(ListLine(huge, kNow), "-rwx------ 1 user group 123456789012345678 Mar 05 14:07 big\r\n");
}

TEST(ListArgument, LeadingDashWordsAreOptions) {
    EXPECT_EQ(ListPathArgument(""), "");
    EXPECT_EQ(ListPathArgument("-al"), "");
    EXPECT_EQ(ListPathArgument("-la /pub"), "/pub");
    EXPECT_EQ(ListPathArgument("-a  -l my dir"), "my dir");
    EXPECT_EQ(ListPathArgument("pub -l"), "pub -l");
}

class Listing : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(home / "sub");
        std::filesystem::create_directory(home / "empty");
        std::filesystem::create_directory(outside / "music");
        WriteFile(home / "a.txt", std::string(1234, 'a'));
        WriteFile(home / "sub/b.txt", "b");
        server.Accounts().Update("user", [&](Account& a) { a.group = "7"; });
        server.Accounts().userFolders[1] = {{" Music ", outside / "music", {}}, {"Gone", outside / "missing", {}}};
        server.Accounts().groupFolders[7] = {{"Shared", outside.Path(), {}}};
    }
    static std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        size_t start = 0, end;
        while ((end = text.find("\r\n", start)) != std::string::npos) {
            lines.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        EXPECT_EQ(start, text.size()) << "text does not end with CR LF";
        return lines;
    }
    static std::vector<std::string> Sorted(std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    }

    TempDir home, outside;
    TestServer server{home.Path()};
};

TEST_F(Listing, RootListsEntriesThenExistingVirtualFolders) {
    Session s(server.Port());
    auto r = s.Download("LIST");
    EXPECT_EQ(r.first, "150 Accepted data connection.");
    EXPECT_EQ(r.last, "226 Transfer complete.");
    auto lines = Lines(r.data);
    ASSERT_EQ(lines.size(), 5u) << r.data;
    // Real entries in directory order, then the folders of the user, then of the groups.
    EXPECT_EQ(lines[3].substr(0, 38), "drwx------ 1 user group              0");
    EXPECT_EQ(lines[3].substr(lines[3].size() - 6), " Music");
    EXPECT_EQ(lines[4].substr(lines[4].size() - 7), " Shared");
    std::vector<std::string> real(lines.begin(), lines.begin() + 3);
    std::sort(real.begin(), real.end(), [](auto& a, auto& b) { return a.substr(52) < b.substr(52); });
    EXPECT_EQ(real[0].substr(0, 38), "-rwx------ 1 user group           1234");
    EXPECT_EQ(real[0].substr(52), "a.txt");
    EXPECT_EQ(real[1].substr(0, 10), "drwx------");

    auto names = s.Download("NLST -a");
    EXPECT_EQ(Sorted(Lines(names.data)), (std::vector<std::string>{"Music", "Shared", "a.txt", "empty", "sub"}));
}

TEST_F(Listing, SubdirectoriesFilesAndOptions) {
    Session s(server.Port());
    EXPECT_EQ(Lines(s.Download("NLST sub").data), std::vector<std::string>{"b.txt"});
    EXPECT_EQ(Lines(s.Download("LIST -la /sub").data).size(), 1u);  // no folders outside the root
    auto file = Lines(s.Download("LIST a.txt").data);
    ASSERT_EQ(file.size(), 1u);
    EXPECT_EQ(file[0].substr(52), "a.txt");
    auto empty = s.Download("LIST empty");
    EXPECT_EQ(empty.first, "150 Accepted data connection.");
    EXPECT_EQ(empty.data, "");
    EXPECT_EQ(empty.last, "226 Transfer complete.");
    EXPECT_EQ(s.Cmd("CWD sub").substr(0, 4), "250 ");
    EXPECT_EQ(Lines(s.Download("NLST").data), std::vector<std::string>{"b.txt"});
}

TEST_F(Listing, RefusalsComeBeforeTheDataConnection) {
    Session s(server.Port());
    EXPECT_EQ(s.Cmd("LIST nothere"), "550 \"nothere\": Directory not found.");
    EXPECT_EQ(s.Cmd("LIST -l ../x"), "550 \"../x\": Directory not found.");
    EXPECT_EQ(s.Cmd("LIST *.txt"), "550 \"*.txt\": Directory not found.");
    server.Accounts().Update("user", [](Account& a) { a.rights.dirList = false; });
    EXPECT_EQ(s.Cmd("NLST sub"), "550 \"sub\": No permission.");
}

}  // namespace
}  // namespace tw::test
