// LIST, NLST, MLSD and MLST: the line formats, options, facts, virtual folders in the root, and the replies.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fcntl.h>

#include <cstdlib>
#include <ctime>
#include <map>

#include "tests/unit/engine/FtpTestServer.h"
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

TEST(MlstFacts, PermLettersFollowTheRights) {
    RightsSet all = *RightsSet::FromString("RWDRALCRR"), readOnly = *RightsSet::FromString("R----L---");
    EXPECT_EQ(PermLetters(all, false, false), "adfrw");
    EXPECT_EQ(PermLetters(all, true, false), "cdeflmp");
    EXPECT_EQ(PermLetters(all, true, true), "celmp");  // a folder's own directory stays
    EXPECT_EQ(PermLetters(readOnly, false, false), "r");
    EXPECT_EQ(PermLetters(readOnly, true, false), "el");
    EXPECT_EQ(PermLetters(RightsSet{}, true, false), "");
    RightsSet uploadOnly = *RightsSet::FromString("-W--A----");
    EXPECT_EQ(PermLetters(uploadOnly, false, false), "aw");
    EXPECT_EQ(PermLetters(uploadOnly, true, false), "c");
}

TEST(MlstFacts, SelectionLinesAndFeature) {
    DirEntry file{"a b.txt", false, 12, 1709647620};
    EXPECT_EQ(MlstLine(file, "r", FACT_ALL, file.name), "type=file;size=12;modify=20240305140700;perm=r; a b.txt");
    DirEntry dir{"d", true, 4096, 0};
    EXPECT_EQ(MlstLine(dir, "el", FACT_ALL, "/d"), "type=dir;modify=19700101000000;perm=el; /d");
    EXPECT_EQ(ParseMlstFacts("Size;TYPE;bogus;"), FACT_SIZE | FACT_TYPE);
    EXPECT_EQ(ParseMlstFacts(""), 0u);
    EXPECT_EQ(ParseMlstFacts(";;perm"), FACT_PERM);
    EXPECT_EQ(MlstFactNames(FACT_SIZE | FACT_PERM), "size;perm;");
    EXPECT_EQ(MlstLine(file, "r", FACT_SIZE | FACT_PERM, file.name), "size=12;perm=r; a b.txt");
    EXPECT_EQ(MlstLine(file, "r", 0, file.name), " a b.txt");
    EXPECT_EQ(MlstFeature(FACT_ALL), "MLST type*;size*;modify*;perm*;");
    EXPECT_EQ(MlstFeature(FACT_MODIFY), "MLST type;size;modify*;perm;");
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
        server.Accounts().Update("user", [&](Account& a) { a.groups = {7}; });
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

TEST_F(Listing, MlsdFactsFollowTheUsersRights) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1709647620, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (home / "a.txt").c_str(), times, 0), 0);
    server.Accounts().userFolders[1][0].rights = *RightsSet::FromString("R----L---");
    Session s(server.Port());
    auto facts = [&](const std::string& command) {
        auto r = s.Download(command);
        EXPECT_EQ(r.first, "150 Accepted data connection.");
        EXPECT_EQ(r.last, "226 Transfer complete.");
        std::map<std::string, std::string> byName;
        for (const std::string& line : Lines(r.data)) {
            size_t blank = line.find(' ');
            byName[line.substr(blank + 1)] = line.substr(0, blank);
        }
        return byName;
    };
    auto full = facts("MLSD");
    ASSERT_EQ(full.size(), 5u);
    EXPECT_EQ(full["a.txt"], "type=file;size=1234;modify=20240305140700;perm=adfrw;");
    EXPECT_EQ(full["sub"].substr(0, 9), "type=dir;");
    EXPECT_EQ(full["sub"].substr(full["sub"].size() - 13), "perm=cdeflmp;");
    // The virtual folders in the root are directories with their own holders' rights.
    EXPECT_EQ(full["Music"].substr(full["Music"].size() - 8), "perm=el;");
    EXPECT_EQ(full["Shared"].substr(full["Shared"].size() - 6), "perm=;");

    server.Accounts().Update("user", [](Account& a) { a.rights = *RightsSet::FromString("R----L---"); });
    auto readOnly = facts("MLSD /");
    EXPECT_EQ(readOnly["a.txt"], "type=file;size=1234;modify=20240305140700;perm=r;");
    EXPECT_EQ(readOnly["sub"].substr(readOnly["sub"].size() - 8), "perm=el;");
    EXPECT_EQ(facts("MLSD sub").size(), 1u);  // no folders outside the root

    EXPECT_EQ(s.Cmd("OPTS MLST size;perm;"), "200 MLST OPTS size;perm;");
    EXPECT_EQ(s.Cmd("MLST a.txt"), "250-Listing /a.txt");
    EXPECT_EQ(s.Line(), " size=1234;perm=r; /a.txt");
    EXPECT_EQ(s.Line(), "250 End.");
    EXPECT_EQ(facts("MLSD")["a.txt"], "size=1234;perm=r;");
    server.Accounts().groupFolders[7][0].rights = *RightsSet::FromString("RWDRALCRR");
    EXPECT_EQ(s.Cmd("MLST /shared"), "250-Listing /shared");
    EXPECT_EQ(s.Line(), " perm=celmp; /shared");  // never deleted or renamed through the folder
    EXPECT_EQ(s.Line(), "250 End.");

    EXPECT_EQ(s.Cmd("MLSD a.txt"), "501 \"a.txt\": Not a directory.");
    EXPECT_EQ(s.Cmd("MLSD -l"), "550 \"-l\": Directory not found.");  // no options
    EXPECT_EQ(s.Cmd("MLST nothere"), "550 \"nothere\": No such file or directory.");
    server.Accounts().Update("user", [](Account& a) { a.rights.dirList = false; });
    EXPECT_EQ(s.Cmd("MLSD sub"), "550 \"sub\": No permission.");
    EXPECT_EQ(s.Cmd("MLST a.txt"), "550 \"a.txt\": No permission.");
}

}  // namespace
}  // namespace tw::test
