// Crashes and damaged files: a killed writer loses nothing that was confirmed, and no bytes crash a reader.
#include "tests/unit/recordengine/TableTestUtil.h"

#include <chrono>
#include <cstring>
#include <random>
#include <set>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tw {
namespace {

// A child appends until it is killed; after each append that returned it reports the number.
TEST_F(TableTest, KilledWriterKeepsConfirmedAppends) {
    const std::string path = Path("crash.sdb");
    {
        CRecordTable t;
        DefineUsers(t);
        ASSERT_TRUE(t.Create(path, ""));
    }
    std::mt19937 rng(4242);
    std::set<int> confirmed;
    for (int round = 0; round < 8; ++round) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(fds[0]);
            CRecordTable t;
            if (!t.Open(path, OpenMode::ReadWrite)) _exit(2);
            for (int i = 0; i < 1000000; ++i) {
                const int n = round * 1000000 + i;
                if (!AppendUser(t, "user" + std::to_string(n), n % 13)) _exit(3);
                if (write(fds[1], &n, sizeof n) != sizeof n) _exit(4);
            }
            _exit(0);
        }
        close(fds[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + rng() % 120));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << WEXITSTATUS(status);
        int n;
        while (read(fds[0], &n, sizeof n) == sizeof n) confirmed.insert(n);
        close(fds[0]);

        CRecordTable t;
        ASSERT_TRUE(t.Open(path, OpenMode::Read)) << t.GetErrorText();
        for (int c : confirmed)
            ASSERT_TRUE(t.Seek("name", ("user" + std::to_string(c)).c_str())) << "round " << round << ": " << c;
        EXPECT_GE(t.GetRecordCount(), static_cast<int>(confirmed.size()));
        // Each round may add one append that returned just before the kill, unreported.
        EXPECT_LE(t.GetRecordCount(), static_cast<int>(confirmed.size()) + round + 1);
        t.Close();
        ExpectValid(path);
    }
    EXPECT_GT(confirmed.size(), 100u);
}

// A writer that dies in the middle of a change: header, a node and the end of the file written, no commit.
void DieMidChange(const std::string& path) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CTableFile f;
        const uint8_t junk[64] = {0x7f, 0x7f, 0x7f, 0x7f};
        if (f.Open(path, FileAccess::ReadWrite, 1000) != FileOpenResult::Ok || !f.WriteAt(0x24, junk, 4) ||
            !f.WriteAt(HEADER_SIZE, junk, sizeof junk) || !f.WriteAt(f.Size(), junk, sizeof junk))
            _exit(1);
        _exit(0);  // no destructor: the change stays undone and the journal hot
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(std::filesystem::exists(path + "-journal"));
}

// A journal left by a dead writer undoes its change on its own table only, not on a table put in its place.
TEST_F(TableTest, LeftoverJournalUndoesOnlyItsOwnTable) {
    const std::string path = Path("user.sdb");
    CRecordTable t;
    DefineUsers(t);
    ASSERT_TRUE(t.Create(path, ""));
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(AppendUser(t, "user" + std::to_string(i), i % 3));
    t.Close();
    const std::vector<uint8_t> backup = FileBytes(path);

    ASSERT_TRUE(t.Open(path, OpenMode::ReadWrite));
    for (int i = 20; i < 40; ++i) ASSERT_TRUE(AppendUser(t, "user" + std::to_string(i), i % 3));
    t.Close();
    const std::vector<uint8_t> current = FileBytes(path);
    DieMidChange(path);
    EXPECT_NE(FileBytes(path), current);
    ASSERT_TRUE(t.Open(path, OpenMode::Read)) << t.GetErrorText();  // the crash is undone
    t.Close();
    EXPECT_EQ(FileBytes(path), current);
    EXPECT_FALSE(std::filesystem::exists(path + "-journal"));

    // The older backup comes back as a new file under the table's name.
    DieMidChange(path);
    WriteFileBytes(path + ".restore", backup);
    ASSERT_EQ(std::rename((path + ".restore").c_str(), path.c_str()), 0);
    ASSERT_TRUE(t.Open(path, OpenMode::ReadWrite)) << t.GetErrorText();
    EXPECT_EQ(t.GetRecordCount(), 20);
    t.Close();
    EXPECT_EQ(FileBytes(path), backup);
    EXPECT_FALSE(std::filesystem::exists(path + "-journal"));

    // Another, larger table is copied over it in place.
    const std::string other = Path("other.sdb");
    ASSERT_TRUE(t.CreateField("id", FT_AUTOINC));
    ASSERT_TRUE(t.CreateField("host", FT_STRING, 40));
    ASSERT_TRUE(t.Create(other, "other"));
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(t.SetFieldText("host" + std::to_string(i), 1) && t.AppendRecord());
    t.Close();
    const std::vector<uint8_t> replacement = FileBytes(other);
    ASSERT_GT(replacement.size(), current.size());
    DieMidChange(path);
    WriteFileBytes(path, replacement);
    ASSERT_TRUE(t.Open(path, OpenMode::Read)) << t.GetErrorText();
    t.Close();
    EXPECT_EQ(FileBytes(path), replacement);
    ExpectValid(path);
}

// A table with splits, chains, dead entries and free blocks, for damaging.
void BuildSample(const std::string& path) {
    CRecordTable t;
    DefineUsers(t);
    ASSERT_TRUE(t.Create(path, ""));
    for (int i = 0; i < 450; ++i) ASSERT_TRUE(AppendUser(t, "name" + std::to_string(i * 7919 % 1000), i % 5));
    for (int i = 0; i < 450; i += 9)
        ASSERT_TRUE(t.Seek("name", ("name" + std::to_string(i * 7919 % 1000)).c_str()) && t.DeleteRecord());
}

// Every operation on the table, each walk capped well above what a sound table could need.
void Exercise(const std::string& path) {
    CRecordTable t;
    t.SetLockTimeout(0);
    if (!t.Open(path, OpenMode::ReadWrite)) {
        EXPECT_FALSE(t.GetErrorText().empty());
        return;
    }
    for (int k = 0; k < t.GetKeyCount(); ++k) {
        int steps = 0;
        for (bool ok = t.MoveFirst(k); ok && steps < 5000; ok = t.MoveNext(k), ++steps) t.GetFieldText(1);
        ASSERT_LT(steps, 5000) << "a walk did not end";
        t.MoveLast(k);
    }
    t.Seek("name", "name14");
    t.DeleteRecord();
    AppendUser(t, "fresh", 3);
    if (t.Seek("name", "name21")) {
        t.SetFieldText("renamed", "name");
        t.UpdateRecord();
    }
    t.GetLastId();
}

TEST_F(TableTest, DamagedBytesFailCleanly) {
    const std::string sample = Path("sample.sdb");
    BuildSample(sample);
    ExpectValid(sample);
    const std::vector<uint8_t> good = FileBytes(sample);
    std::mt19937 rng(99);
    const std::string path = Path("damaged.sdb");
    for (int round = 0; round < 150; ++round) {
        std::vector<uint8_t> bytes = good;
        const int flips = 1 + static_cast<int>(rng() % 6);
        for (int i = 0; i < flips; ++i) {
            // Mostly the parts that steer: header, node headers and links, chain nodes.
            const size_t at = rng() % 3 == 0 ? 0x3B90 + rng() % 0xE0 : rng() % bytes.size();
            bytes[at] = static_cast<uint8_t>(rng());
        }
        if (round % 10 == 9) bytes.resize(rng() % bytes.size());
        WriteFileBytes(path, bytes);
        Exercise(path);
        std::string error;
        if (!CheckTable(path, error)) {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST_F(TableTest, LoopsAndOverfullNodesAreReported) {
    const std::string path = Path("loop.sdb");
    BuildSample(path);
    const std::vector<uint8_t> good = FileBytes(path);
    const int32_t first = Int32At(good, 0x3BBC + 4);  // key 1: names

    PatchInt32(path, first + 1624, first);  // the first leaf's next leaf is itself
    CRecordTable t;
    ASSERT_TRUE(t.Open(path, OpenMode::Read));
    int steps = 0;
    for (bool ok = t.MoveFirst(1); ok && steps < 2000; ok = t.MoveNext(1)) ++steps;
    EXPECT_LT(steps, 2000);
    EXPECT_NE(t.GetErrorText().find("link back"), std::string::npos) << t.GetErrorText();
    t.Close();
    std::string error;
    EXPECT_FALSE(CheckTable(path, error));

    PatchInt32(path, first + 1624, Int32At(good, first + 1624));
    PatchInt32(path, first, 201);
    ASSERT_TRUE(t.Open(path, OpenMode::ReadWrite));
    EXPECT_FALSE(t.MoveFirst(1));
    EXPECT_NE(t.GetErrorText().find("201 entries"), std::string::npos) << t.GetErrorText();
    EXPECT_FALSE(AppendUser(t, "name0", 1));  // its search runs into the same leaf
    t.Close();

    PatchInt32(path, first, Int32At(good, first));
    ExpectValid(path);
    // A chain node that leads back to the head.
    const int32_t groups = Int32At(good, 0x3BBC + 8);
    const int32_t head = Int32At(good, groups + 808);
    const int32_t second = Int32At(good, head + 12);
    PatchInt32(path, second + 12, head);
    ASSERT_TRUE(t.Open(path, OpenMode::Read));
    steps = 0;
    for (bool ok = t.MoveFirst(2); ok && steps < 2000; ok = t.MoveNext(2)) ++steps;
    EXPECT_LT(steps, 2000);
    EXPECT_NE(t.GetErrorText().find("link back"), std::string::npos) << t.GetErrorText();
    t.Close();
    EXPECT_FALSE(CheckTable(path, error));
}

// A delete that fails at its last key, after the others were changed, leaves every byte as it was.
TEST_F(TableTest, FailedChangeIsUndone) {
    const std::string path = Path("undo.sdb");
    BuildSample(path);
    CRecordTable t;
    ASSERT_TRUE(t.Open(path, OpenMode::Read));
    int32_t group = 2;
    ASSERT_TRUE(t.SeekKey(2, &group) && t.MoveNext(2) && t.MoveNext(2));
    const std::string third = t.GetFieldText("name");
    t.Close();
    const std::vector<uint8_t> good = FileBytes(path);
    const int32_t groups = Int32At(good, 0x3BBC + 8);
    const int32_t head = Int32At(good, groups + 808 + 4 * 2);
    PatchInt32(path, Int32At(good, head + 12), 0);  // the second chain node loses its tag
    const std::vector<uint8_t> damaged = FileBytes(path);

    ASSERT_TRUE(t.Open(path, OpenMode::ReadWrite));
    ASSERT_TRUE(t.Seek("name", third.c_str()));
    EXPECT_FALSE(t.DeleteRecord());
    EXPECT_NE(t.GetErrorText().find("damaged"), std::string::npos) << t.GetErrorText();
    EXPECT_EQ(t.GetRecordCount(), static_cast<int>(Int32At(good, 0x24)));
    EXPECT_TRUE(t.Seek("name", third.c_str()));  // keys 0 and 1 still hold it
    t.Close();
    EXPECT_EQ(FileBytes(path), damaged);
}

// An update whose delete step fails keeps no trace in the object: the next append zeroes memo fields again.
TEST_F(TableTest, FailedUpdateLeavesNoMemoFlags) {
    const std::string path = Path("memo.sdb");
    CRecordTable t;
    ASSERT_TRUE(t.CreateField("id", FT_AUTOINC));
    ASSERT_TRUE(t.CreateField("name", FT_STRING, 16));
    ASSERT_TRUE(t.CreateField("group", FT_INT));
    ASSERT_TRUE(t.CreateField("notes", FT_MEMO));
    ASSERT_TRUE(t.CreateKey("name", KEY_UNIQUE, 1));
    ASSERT_TRUE(t.CreateKey("group", KEY_DUP, 2));
    ASSERT_TRUE(t.Create(path, ""));
    for (const char* name : {"ann", "bob", "cid"})
        ASSERT_TRUE(t.SetFieldText(name, 1) && t.SetFieldText("5", 2) && t.AppendRecord());
    t.Close();
    const std::vector<uint8_t> good = FileBytes(path);
    const int32_t head = Int32At(good, Int32At(good, 0x3BBC + 8) + 808);
    PatchInt32(path, Int32At(good, head + 12), 0);  // bob's chain node loses its tag

    ASSERT_TRUE(t.Open(path, OpenMode::ReadWrite));
    ASSERT_TRUE(t.Seek("name", "bob"));
    EXPECT_FALSE(t.UpdateRecord());
    EXPECT_NE(t.GetErrorText().find("damaged"), std::string::npos) << t.GetErrorText();
    uint8_t record[32] = {};
    std::memcpy(record + 4, "dee", 3);
    record[20] = 6;
    PutInt32(record + 24, 20000);  // a memo reference that no assignment made
    ASSERT_TRUE(t.AppendRecord(record)) << t.GetErrorText();
    uint8_t stored[32];
    ASSERT_TRUE(t.Seek("name", "dee", stored, sizeof stored));
    EXPECT_EQ(Int32At(std::vector<uint8_t>(stored, stored + 32), 24), 0);

    ASSERT_TRUE(t.Seek("name", "bob"));
    ASSERT_TRUE(t.SetFieldText("bo", 1));
    EXPECT_FALSE(t.UpdateRecord());
    EXPECT_FALSE(t.AppendRecord());  // the edit buffer holds bob again
    EXPECT_EQ(t.GetErrorText(), "the key is unduplicated");
}

}  // namespace
}  // namespace tw
