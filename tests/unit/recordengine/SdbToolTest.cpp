// sdbtool dump and check on tables made here.
#include "TableTestUtil.h"

#include <sys/wait.h>

namespace {

struct ToolRun {
    int status;
    std::string out;
};

ToolRun Tool(const std::string& args)
{
    ToolRun r{-1, {}};
    FILE* p = popen((std::string(SDBTOOL) + " " + args + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        r.out.append(buf, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST_F(TableTest, SdbToolDumpsAndChecks)
{
    const std::string path = Path("u.sdb");
    {
        CRecordTable t;
        DefineUsers(t);
        ASSERT_TRUE(t.Create(path, "users"));
        ASSERT_TRUE(AppendUser(t, "zed", 2));
        ASSERT_TRUE(AppendUser(t, "amy \"A\"", 1));
    }
    ToolRun dump = Tool("dump " + path);
    EXPECT_EQ(dump.status, 0) << dump.out;
    EXPECT_NE(dump.out.find("title          \"users\""), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("name                            FT_STRING  64"), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("group                           KEY_DUP"), std::string::npos) << dump.out;
    const size_t zed = dump.out.find("id=1 name=\"zed\" group=2");
    const size_t amy = dump.out.find("id=2 name=\"amy \\\"A\\\"\" group=1");
    EXPECT_NE(zed, std::string::npos) << dump.out;
    EXPECT_LT(zed, amy);

    ToolRun check = Tool("check " + path);
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find("ok (2 records, 3 keys"), std::string::npos) << check.out;

    PatchInt32(path, 0x24, 3);  // the count no longer matches the entries
    check = Tool("check " + path);
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(check.out.find("key 0 holds 2 live records, the count is 3"), std::string::npos) << check.out;
    EXPECT_EQ(Tool("dump " + path).status, 1);
    EXPECT_EQ(Tool("check").status, 2);
    EXPECT_EQ(Tool("frobnicate").status, 2);
}

} // namespace
