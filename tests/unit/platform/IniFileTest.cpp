#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace tw {
namespace {

class IniFileTest : public ::testing::Test {
protected:
    std::string path = (std::filesystem::temp_directory_path() /
                        ("ini_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini"))
                           .string();
    void Write(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    void TearDown() override { std::remove(path.c_str()); }
};

TEST_F(IniFileTest, SectionsAndKeysIgnoreCaseAndTheFirstMatchWins) {
    Write("[other]\nport=1\n[SERVER]\r\nPORT = 2121 \r\nport=99\n[server]\nport=5\n");
    CIniFile ini(path);
    EXPECT_EQ(ini.GetString("Server", "port", "21"), "2121");
    EXPECT_EQ(ini.GetString("Server", "Port", "21"), "2121");
    EXPECT_EQ(ini.GetString("other", "PORT", "21"), "1");
}

TEST_F(IniFileTest, MissingFileSectionOrKeyGivesTheDefault) {
    CIniFile missing(path + ".absent");
    EXPECT_EQ(missing.GetString("Server", "maxusers", "20"), "20");
    EXPECT_EQ(missing.GetString("Server", "PassiveIP", "x"), "x");
    Write("[Server]\nport=1\n");
    CIniFile ini(path);
    EXPECT_EQ(ini.GetString("Server", "timeout", "10"), "10");
    EXPECT_EQ(ini.GetString("DNS", "port", "7"), "7");
}

TEST_F(IniFileTest, ValuesAreCutTo255Characters) {
    Write("[S]\nlong=" + std::string(300, 'x') + "\n");
    EXPECT_EQ(CIniFile(path).GetString("S", "long").size(), 255u);
}

TEST_F(IniFileTest, WritingReplacesOrAppendsAndKeepsOtherLines) {
    Write("; settings\n[Server]\nPort=21\n\n[DNS]\nEnable=0\n");
    {
        CIniFile ini(path);
        ASSERT_TRUE(ini.WriteString("Server", "port", "2121"));
        ASSERT_TRUE(ini.WriteString("Server", "Savelog", "1"));
        ASSERT_TRUE(ini.WriteString("DEFAULT", "USER", "anonymous"));
    }
    CIniFile ini(path);
    EXPECT_EQ(ini.GetString("Server", "PORT", "0"), "2121");
    EXPECT_EQ(ini.GetString("Server", "savelog", "0"), "1");
    EXPECT_EQ(ini.GetString("DNS", "Enable", "5"), "0");
    EXPECT_EQ(ini.GetString("default", "user"), "anonymous");
    std::ifstream in(path);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "; settings\r");
}

}  // namespace
}  // namespace tw
