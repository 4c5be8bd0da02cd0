#include "engine/LogFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/common/LocalTime.h"
#include "tests/common/TempDirTest.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

using test::LocalTime;

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(EventLine, PrefixIsTheLocalTimeWithTwoBlanksAndControlBytesBecomeQuestionMarks) {
    std::time_t t = LocalTime(2026, 3, 4, 5, 6, 7);
    EXPECT_EQ(FormatEventLine(t, "Server is running on port 21."), "[2026-03-04 05:06:07]  Server is running on port 21.");
    EXPECT_EQ(FormatEventLine(t, ">> NOOP\r\n[2026-03-04 05:06:07]  forged\t"),
              "[2026-03-04 05:06:07]  >> NOOP??[2026-03-04 05:06:07]  forged?");
    EXPECT_EQ(FormatEventLine(t, "unable to load CA private key\n"), "[2026-03-04 05:06:07]  unable to load CA private key");
    EXPECT_EQ(FormatEventLine(t, "\xe4\xbd\xa0"), "[2026-03-04 05:06:07]  \xe4\xbd\xa0");  // UTF-8 untouched
}

using LogFileTest = test::TempDirTest;

TEST_F(LogFileTest, CreatesTheLogDirectoryAndTheDayFileEvenWithoutLines) {
    CLogFile log;
    log.SetBaseDirectory(dir.string() + "/");
    ASSERT_TRUE(log.OpenForToday(LocalTime(2026, 12, 8, 10, 0, 0)));
    EXPECT_TRUE(fs::exists(dir / "log" / "20261208.txt"));
    EXPECT_EQ(fs::file_size(dir / "log" / "20261208.txt"), 0u);
}

TEST_F(LogFileTest, LinesEndInCrLfAndALineAfterMidnightGoesToTheNewDay) {
    CLogFile log;
    log.SetBaseDirectory(dir.string() + "/");
    log.OpenForToday(LocalTime(2026, 12, 31, 23, 59, 59));
    log.Write("last", LocalTime(2026, 12, 31, 23, 59, 59));
    log.Write("first", LocalTime(2027, 1, 1, 0, 0, 1));
    EXPECT_EQ(Slurp(dir / "log" / "20261231.txt"), "last\r\n");
    EXPECT_EQ(Slurp(dir / "log" / "20270101.txt"), "first\r\n");
    EXPECT_EQ(log.FileName(), (dir / "log" / "20270101.txt").string());
}

TEST_F(LogFileTest, AFileThatCannotBeOpenedIsReportedAndLinesAreDropped) {
    static std::string reported;
    CLogFile log;
    log.SetBaseDirectory(dir.string() + "/");
    log.SetErrorReporter([](const std::string& name) { reported = name; });
    fs::create_directories(dir / "log" / "20261208.txt");  // a directory where the file should be
    std::time_t t = LocalTime(2026, 12, 8, 12, 0, 0);
    EXPECT_FALSE(log.OpenForToday(t));
    EXPECT_EQ(reported, (dir / "log" / "20261208.txt").string());
    log.Write("dropped", t);  // no crash, and the line went nowhere: the log directory holds only the obstacle
    std::vector<fs::path> written;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "log")) written.push_back(entry.path());
    EXPECT_EQ(written, std::vector<fs::path>{dir / "log" / "20261208.txt"});
}

TEST_F(LogFileTest, FilesAreNotWorldReadableAndLinesOfTwoWritersStayWhole) {
    const fs::path file = dir / "log" / "20261208.txt";
    fs::create_directories(dir / "log");
    std::ofstream(file) << "old\r\n";
    fs::permissions(file, fs::perms(0644));
    CLogFile log;
    log.SetBaseDirectory(dir.string() + "/");
    const std::time_t t = LocalTime(2026, 12, 8, 12, 0, 0);
    ASSERT_TRUE(log.OpenForToday(t));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::others_all, fs::perms::none);
    log.Write("new", LocalTime(2026, 12, 9, 0, 0, 1));
    const fs::path created = dir / "log" / "20261209.txt";
    EXPECT_EQ(fs::status(created).permissions() & fs::perms::others_all, fs::perms::none);
    EXPECT_NE(fs::status(created).permissions() & fs::perms::owner_write, fs::perms::none);

    // Two writers of one day file (both hosts log into one directory): each line lands whole, with its
    // line end, never cut by a line of the other.
    auto writeLines = [&](char fill) {
        CLogFile other;
        other.SetBaseDirectory(dir.string() + "/");
        const std::string line(3000, fill);
        for (int i = 0; i < 2000; ++i) other.Write(line, LocalTime(2026, 12, 9, 0, 0, 2));
    };
    std::thread a(writeLines, 'a'), b(writeLines, 'b');
    a.join();
    b.join();
    std::istringstream lines(Slurp(created));
    int whole = 0;
    for (std::string l; std::getline(lines, l);)
        whole += l == "new\r" || l == std::string(3000, 'a') + "\r" || l == std::string(3000, 'b') + "\r";
    EXPECT_EQ(whole, 4001);
}

}  // namespace
}  // namespace tw
