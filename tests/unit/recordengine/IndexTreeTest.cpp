// Index trees: splits, raised internal keys, duplicate chains, dead entries and key types.
#include "tests/unit/recordengine/TableTestUtil.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <set>

namespace tw {
namespace {

constexpr int kRootAt = 0x3B94;
constexpr int kFirstLeafAt = 0x3BBC;
constexpr int kLastLeafAt = 0x3BE4;
constexpr int kIntNode = 2432;

void DefineNumbers(CRecordTable& t) {
    ASSERT_TRUE(t.CreateField("n", FT_INT));
    ASSERT_TRUE(t.CreateKey("n", KEY_UNIQUE, 0));
}

bool AppendNumber(CRecordTable& t, int n) { return t.SetFieldText(std::to_string(n), 0) && t.AppendRecord(); }

TEST_F(TableTest, SplitsKeepHalvesAndRootKeys) {
    CRecordTable t;
    DefineNumbers(t);
    ASSERT_TRUE(t.Create(Path("n.sdb"), ""));
    for (int n = 1; n <= 200; ++n) ASSERT_TRUE(AppendNumber(t, n * 10));
    auto b = FileBytes(Path("n.sdb"));
    const int32_t leaf = Int32At(b, kRootAt);
    EXPECT_EQ(Int32At(b, leaf), 200);

    ASSERT_TRUE(AppendNumber(t, 5));  // the 201st entry splits the root leaf
    b = FileBytes(Path("n.sdb"));
    const int32_t root = Int32At(b, kRootAt);
    ASSERT_NE(root, leaf);
    const int32_t high = Int32At(b, root + 4 + 4);
    EXPECT_EQ(Int32At(b, root), 2);
    EXPECT_EQ(Int32At(b, root + 4), leaf);
    EXPECT_EQ(Int32At(b, root + 1628), 990);       // the largest key of the low half
    EXPECT_EQ(Int32At(b, root + 1628 + 4), 2000);  // and of the high half
    EXPECT_EQ(Int32At(b, leaf), 100);
    EXPECT_EQ(Int32At(b, high), 101);
    EXPECT_EQ(Int32At(b, leaf + 1624), high);
    EXPECT_EQ(Int32At(b, high + 1620), leaf);
    EXPECT_EQ(Int32At(b, leaf + 1612), root);
    EXPECT_EQ(Int32At(b, high + 1612), root);
    EXPECT_EQ(Int32At(b, kFirstLeafAt), leaf);
    EXPECT_EQ(Int32At(b, kLastLeafAt), high);

    ASSERT_TRUE(AppendNumber(t, 5000));  // above every key: the root's last key is raised
    b = FileBytes(Path("n.sdb"));
    EXPECT_EQ(Int32At(b, root + 1628 + 4), 5000);
    t.Close();
    ExpectValid(Path("n.sdb"));
}

// Enough entries for internal splits, in an order that splits everywhere; every walk sees all of them.
TEST_F(TableTest, DeepTreeInShuffledOrder) {
    CRecordTable t;
    DefineNumbers(t);
    ASSERT_TRUE(t.Create(Path("n.sdb"), ""));
    std::vector<int> values(30000);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int>(i) * 2 - 20000;
    std::mt19937 rng(7);
    std::shuffle(values.begin(), values.begin() + 15000, rng);  // then ascending: raises on every append
    for (int v : values) ASSERT_TRUE(AppendNumber(t, v));
    t.Close();
    CTableCheckSummary summary;
    std::string error;
    ASSERT_TRUE(CheckTable(Path("n.sdb"), error, &summary)) << error;
    EXPECT_GT(summary.indexNodes, 201);

    ASSERT_TRUE(t.Open(Path("n.sdb"), OpenMode::Read));
    std::sort(values.begin(), values.end());
    int seen = 0;
    for (bool ok = t.MoveFirst(0); ok; ok = t.MoveNext(0))
        ASSERT_EQ(t.GetFieldText(0), std::to_string(values[static_cast<size_t>(seen++)]));
    EXPECT_EQ(seen, 30000);
    ASSERT_TRUE(t.MoveLast(0));
    EXPECT_EQ(t.GetFieldText(0), std::to_string(values.back()));
    int32_t probe = values[12345];
    ASSERT_TRUE(t.SeekKey(0, &probe));
    probe += 1;  // odd values are absent
    EXPECT_FALSE(t.SeekKey(0, &probe));
}

TEST_F(TableTest, DuplicateChainsKeepAppendOrder) {
    CRecordTable t;
    DefineUsers(t);
    ASSERT_TRUE(t.Create(Path("u.sdb"), ""));
    for (const char* name : {"first", "second", "third"}) ASSERT_TRUE(AppendUser(t, name, 5));
    ASSERT_TRUE(AppendUser(t, "other", 3));
    auto names = [&](int group) {
        std::string got;
        int32_t g = group;
        for (bool ok = t.SeekKey(2, &g); ok && t.GetFieldText("group") == std::to_string(group); ok = t.MoveNext(2))
            got += t.GetFieldText("name") + " ";
        return got;
    };
    EXPECT_EQ(names(5), "first second third ");
    ASSERT_TRUE(t.MoveLast(2));
    EXPECT_EQ(t.GetFieldText("name"), "third");
    EXPECT_FALSE(t.MoveNext(2));

    const auto b = FileBytes(Path("u.sdb"));
    const int32_t leaf = Int32At(b, kRootAt + 8);
    const int32_t head = Int32At(b, leaf + 808 + 4);  // entry 1: group 5
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[head])), "fDUPKEY");
    EXPECT_EQ(Int32At(b, head + 16), -1);
    EXPECT_EQ(Int32At(b, Int32At(b, head + 20) + 12), -1);

    // Updates through the dup key keep each record's place, the head's included.
    for (const char* name : {"second", "first", "third"}) {
        int32_t g = 5;
        ASSERT_TRUE(t.SeekKey(2, &g));
        while (t.GetFieldText("name") != name) ASSERT_TRUE(t.MoveNext(2));
        ASSERT_TRUE(t.SetFieldText(std::string(name) + "!", "name"));
        ASSERT_TRUE(t.UpdateRecord());
    }
    EXPECT_EQ(names(5), "first! second! third! ");
    ASSERT_TRUE(t.Seek("name", "second!"));
    ASSERT_TRUE(t.SetFieldText("3", "group"));
    ASSERT_TRUE(t.UpdateRecord());
    EXPECT_EQ(names(3), "other second! ");
    EXPECT_EQ(names(5), "first! third! ");
    ASSERT_TRUE(t.Seek("name", "first!"));
    ASSERT_TRUE(t.DeleteRecord());
    ASSERT_TRUE(t.Seek("name", "third!"));
    ASSERT_TRUE(t.DeleteRecord());
    int32_t g = 5;
    EXPECT_FALSE(t.SeekKey(2, &g));  // the entry is dead
    ASSERT_TRUE(AppendUser(t, "fourth", 5));
    EXPECT_EQ(names(5), "fourth ");
    t.Close();
    ExpectValid(Path("u.sdb"));
}

TEST_F(TableTest, DeadEntriesAreRevivedAndSkipped) {
    CRecordTable t;
    DefineNumbers(t);
    ASSERT_TRUE(t.Create(Path("n.sdb"), ""));
    for (int n = 1; n <= 300; ++n) ASSERT_TRUE(AppendNumber(t, n));
    for (int32_t n = 1; n <= 100; ++n)  // the whole first leaf
        ASSERT_TRUE(t.SeekKey(0, &n) && t.DeleteRecord());
    ASSERT_TRUE(t.MoveFirst(0));
    EXPECT_EQ(t.GetFieldText(0), "101");

    auto b = FileBytes(Path("n.sdb"));
    const int32_t first = Int32At(b, kFirstLeafAt);
    EXPECT_EQ(Int32At(b, first), 100);
    EXPECT_EQ(Int32At(b, first + 808 + 4 * 41), -1);
    ASSERT_TRUE(AppendNumber(t, 42));
    b = FileBytes(Path("n.sdb"));
    EXPECT_EQ(Int32At(b, first), 100);  // revived, not inserted
    EXPECT_NE(Int32At(b, first + 808 + 4 * 41), -1);
    ASSERT_TRUE(t.MoveFirst(0));
    EXPECT_EQ(t.GetFieldText(0), "42");
    ASSERT_TRUE(t.MoveNext(0));
    EXPECT_EQ(t.GetFieldText(0), "101");
    EXPECT_EQ(t.GetRecordCount(), 201);
    t.Close();
    ExpectValid(Path("n.sdb"));
}

TEST_F(TableTest, StringKeyLengthAndCase) {
    CRecordTable t;
    ASSERT_TRUE(t.CreateField("name", FT_STRING, 64));
    ASSERT_TRUE(t.CreateKey("exact", KEY_UNIQUE, 0, 1, 0, 64));
    ASSERT_TRUE(t.CreateField("nick", FT_STRING, 16));
    ASSERT_TRUE(t.CreateKey("nick", KEY_UNIQUE, 1, 2));
    ASSERT_TRUE(t.Create(Path("s.sdb"), ""));
    const std::string full(64, 'x');
    ASSERT_TRUE(t.SetFieldText(full, 0) && t.SetFieldText("Alice", 1) && t.AppendRecord());
    EXPECT_TRUE(t.SeekKey(0, full.c_str()));
    EXPECT_FALSE(t.SeekKey(0, (full + "x").c_str()));
    EXPECT_TRUE(t.Seek("nick", "aLICE"));
    EXPECT_FALSE(t.SetFieldText("y", 0) && t.SetFieldText("ALICE", 1) && t.AppendRecord());
    EXPECT_EQ(t.GetErrorText(), "the key is unduplicated");
    EXPECT_FALSE(t.Seek("exact", "X"));  // case mode 1 is exact
}

// Fills the bytes the format leaves to the writer with values this engine never writes there, the way
// another writer may: root parent, record words and links of internal nodes, unused node slots, the 4 bytes
// before text and double key areas, the tail of short nodes, the last word of non-head chain nodes, free
// chain nodes and free record blocks past their links, and the banner after the engine name.
void FillOpenBytes(const std::string& path) {
    std::vector<uint8_t> b = FileBytes(path);
    CTableHeader h;
    std::memcpy(h.Data(), b.data(), HEADER_SIZE);
    CRecordLayout layout;
    layout.Load(h);
    auto put = [&](size_t at, int32_t v) { PutInt32(&b.at(at), v); };
    std::memcpy(&b[5], "elsewhere, 1998", 15);
    for (int k = 0; k < h.KeyCount(); ++k) {
        CIndexKey key;
        key.Load(h, layout, k);
        const int w = key.SlotWidth();
        const int32_t firstLeaf = h.FirstLeaf(k);
        std::vector<int32_t> todo{h.Root(k)};
        put(static_cast<size_t>(h.Root(k)) + 1612, 0);
        while (!todo.empty()) {
            const size_t pos = static_cast<size_t>(todo.back());
            todo.pop_back();
            const int n = Int32At(b, pos);
            const bool leaf = Int32At(b, pos + 4) == -1;
            for (int i = 0; i < NODE_SLOTS; ++i) {
                if (i >= n) {
                    put(pos + 4 + 4 * i, firstLeaf);
                    put(pos + 808 + 4 * i, firstLeaf);
                    std::memset(&b[pos + key.KeyAreaOffset() + static_cast<size_t>(i * w)], 0xEE,
                                static_cast<size_t>(w));
                } else if (!leaf) {
                    todo.push_back(Int32At(b, pos + 4 + 4 * i));
                    put(pos + 808 + 4 * i, firstLeaf);
                } else if (int32_t word = Int32At(b, pos + 808 + 4 * i);
                           word != -1 && std::memcmp(&b[static_cast<size_t>(word)], "fDUPKEY", 8) == 0) {
                    for (int32_t c = Int32At(b, static_cast<size_t>(word) + 12); c != -1;
                         c = Int32At(b, static_cast<size_t>(c) + 12))
                        put(static_cast<size_t>(c) + 20, c % 2 ? 0 : word);
                }
            }
            if (!leaf) {
                put(pos + 1620, 0);
                put(pos + 1624, firstLeaf);
            }
            if (key.KeyAreaOffset() == 1632) put(pos + 1628, 0x12345678);
            for (size_t i = static_cast<size_t>(key.KeyAreaOffset() + NODE_SLOTS * w);
                 i < static_cast<size_t>(key.NodeSize()); ++i)
                b[pos + i] = 0xEE;
        }
    }
    int freed = 0;
    for (int32_t c = h.FreeChainNodes(); c > 0; c = Int32At(b, static_cast<size_t>(c)), ++freed)
        std::memset(&b[static_cast<size_t>(c) + 4], 0xEE, CHAIN_NODE_SIZE - 4);
    for (int32_t r = h.FreeRecords(); r > 0; r = Int32At(b, static_cast<size_t>(r) + 2), ++freed)
        std::memset(&b[static_cast<size_t>(r) + 6], 0xEE, static_cast<size_t>(Int16At(b, static_cast<size_t>(r)) - 6));
    EXPECT_GT(freed, 2);
    WriteFileBytes(path, b);
}

// A table whose open bytes another writer filled otherwise grows through root and internal splits.
TEST_F(TableTest, OpenBytesOfAnotherWriterAreNotReliedOn) {
    const std::string path = Path("other.sdb");
    CRecordTable t;
    ASSERT_TRUE(t.CreateField("id", FT_AUTOINC));
    ASSERT_TRUE(t.CreateField("name", FT_STRING, 24));
    ASSERT_TRUE(t.CreateField("group", FT_SHORT));
    ASSERT_TRUE(t.CreateField("weight", FT_DOUBLE));
    ASSERT_TRUE(t.CreateKey("name", KEY_UNIQUE, 1, 2));
    ASSERT_TRUE(t.CreateKey("group", KEY_DUP, 2));
    ASSERT_TRUE(t.CreateKey("weight", KEY_DUP, 3));
    ASSERT_TRUE(t.Create(path, ""));
    std::set<std::string> names;
    auto append = [&](const std::string& name, int i) {
        names.insert(name);
        return t.SetFieldText(name, "name") && t.SetFieldText(std::to_string(i % 4), "group") &&
               t.SetFieldText(std::to_string(i % 3 * 0.5), "weight") && t.AppendRecord();
    };
    auto remove = [&](const std::string& name) {
        names.erase(name);
        return t.Seek("name", name.c_str()) && t.DeleteRecord();
    };
    char name[16];
    for (int i = 0; i < 201; ++i) {  // every root is a split-made one
        std::snprintf(name, sizeof name, "n%05d", i);
        ASSERT_TRUE(append(name, i)) << t.GetErrorText();
    }
    for (int i = 0; i < 201; i += 17) {
        std::snprintf(name, sizeof name, "n%05d", i);
        ASSERT_TRUE(remove(name)) << t.GetErrorText();
    }
    t.Close();
    FillOpenBytes(path);
    ExpectValid(path);

    ASSERT_TRUE(t.Open(path, OpenMode::ReadWrite));
    for (int i = 0; i < 21000; ++i) {
        std::snprintf(name, sizeof name, "m%05d", i);
        ASSERT_TRUE(append(name, i)) << i << ": " << t.GetErrorText();
        if (i % 150 == 7) {  // through the chains whose last words were filled
            std::snprintf(name, sizeof name, "n%05d", i / 150 + 1);
            if (names.count(name)) {
                ASSERT_TRUE(t.Seek("name", name) && t.SetFieldText("3", "group") && t.UpdateRecord())
                    << t.GetErrorText();
                std::snprintf(name, sizeof name, "n%05d", i / 150 + 60);
                if (names.count(name)) {
                    ASSERT_TRUE(remove(name)) << t.GetErrorText();
                }
            }
        }
    }
    EXPECT_EQ(t.GetRecordCount(), static_cast<int>(names.size()));
    auto it = names.begin();
    for (bool ok = t.MoveFirst(1); ok; ok = t.MoveNext(1), ++it)
        ASSERT_EQ(t.GetFieldText("name"), it == names.end() ? std::string("(end)") : *it);
    EXPECT_EQ(it, names.end());
    t.Close();
    ExpectValid(path);
    const auto b = FileBytes(path);
    const int32_t root = Int32At(b, kRootAt);
    EXPECT_NE(Int32At(b, Int32At(b, root + 4) + 4), -1) << "the id tree has not grown a third level";
}

// Node sizes per key type, and numeric order of signed and floating values.
TEST_F(TableTest, KeyTypesNodeSizesAndOrder) {
    struct Case {
        int type;
        int nodeSize;
        int packed;
    };
    for (const Case c :
         {Case{FT_BYTE, 1832, 3}, Case{FT_SHORT, 2032, 4}, Case{FT_FLOAT, kIntNode, 6}, Case{FT_DOUBLE, 3240, 10}}) {
        const std::string path = Path("k" + std::to_string(c.type) + ".sdb");
        CRecordTable t;
        ASSERT_TRUE(t.CreateField("v", c.type));
        ASSERT_TRUE(t.CreateKey("v", KEY_DUP, 0));
        ASSERT_TRUE(t.Create(path, ""));
        ASSERT_TRUE(t.SetFieldText("1", 0) && t.AppendRecord());
        EXPECT_EQ(FileBytes(path).size(), size_t(HEADER_SIZE + c.packed + c.nodeSize)) << c.type;
        for (const char* v : {"-2.5", "3", "0", "1"}) ASSERT_TRUE(t.SetFieldText(v, 0) && t.AppendRecord());
        std::string order;
        for (bool ok = t.MoveFirst(0); ok; ok = t.MoveNext(0)) order += t.GetFieldText(0).substr(0, 2) + " ";
        if (c.type == FT_BYTE)
            EXPECT_EQ(order, "0 1 1 1 1 ");  // flags: every non-zero text is 1
        else if (c.type == FT_SHORT)
            EXPECT_EQ(order, "-2 0 1 1 3 ");
        else
            EXPECT_EQ(order, "-2 0. 1. 1. 3. ");
        t.Close();
        ExpectValid(path);
    }
}

}  // namespace
}  // namespace tw
