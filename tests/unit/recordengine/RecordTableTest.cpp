// CRecordTable: definitions, the header and record bytes, fields, free space, updates, opening and locks.
#include "tests/unit/recordengine/TableTestUtil.h"

#include <cstring>

namespace tw {
namespace {

constexpr int kCountAt = 0x24;
constexpr int kFreeRecordsAt = 0x3C0C;

TEST_F(TableTest, DefinitionRules) {
    CRecordTable t;
    EXPECT_FALSE(t.CreateKey("k", KEY_UNIQUE, 0));
    EXPECT_EQ(t.GetErrorText(), "must create field first");
    ASSERT_TRUE(t.CreateField(" name ", FT_STRING, 64));
    EXPECT_FALSE(t.CreateField("NAME", FT_INT));
    EXPECT_EQ(t.GetErrorText(), "The FieldName exist already!");
    EXPECT_FALSE(t.CreateField("long", FT_STRING, 1025));
    EXPECT_EQ(t.GetErrorText(), "field length must between 1 and 1024");
    EXPECT_FALSE(t.CreateField("empty", FT_STRING, 0));
    ASSERT_TRUE(t.CreateField("memo", FT_MEMO));
    EXPECT_FALSE(t.CreateKey("m", KEY_DUP, 1));
    EXPECT_EQ(t.GetErrorText(), "This field can't be key!");
    EXPECT_FALSE(t.CreateKey("k", KEY_DUP, 2));
    EXPECT_EQ(t.GetErrorText(), "FieldNo must less than 2");
    ASSERT_TRUE(t.CreateKey("byName", 1, 0, 0, 0, -1));  // case 0 -> 1, length -1 -> the width
    EXPECT_FALSE(t.CreateKey(" BYNAME", KEY_DUP, 0));
    EXPECT_EQ(t.GetErrorText(), "The KeyName exist already!");
    ASSERT_TRUE(t.CreateKey("tail", KEY_DUP, 0, 2, 60, 10));  // held inside the field: 4 bytes
    EXPECT_EQ(t.GetHeader().KeyPartCase(0, 0), 1);
    EXPECT_EQ(t.GetHeader().KeyPartLength(0, 0), 64);
    EXPECT_EQ(t.GetHeader().KeyPartCount(0), -1);
    EXPECT_EQ(t.GetHeader().KeyPartLength(1, 0), 4);
    EXPECT_EQ(t.GetHeader().KeyPartCase(1, 0), 2);

    ASSERT_TRUE(t.CreateField("id", FT_AUTOINC));
    EXPECT_EQ(t.GetHeader().KeyCount(), 3);  // its own unique key
    EXPECT_EQ(t.GetHeader().KeyKind(2), KEY_UNIQUE);
    EXPECT_FALSE(t.CreateField("id2", FT_AUTOINC));
    EXPECT_EQ(t.GetErrorText(), "Too many AutoInc fields");

    for (int k = t.GetHeader().KeyCount(); k < MAX_KEYS; ++k)
        ASSERT_TRUE(t.CreateKey("k" + std::to_string(k), KEY_DUP, 0));
    EXPECT_FALSE(t.CreateKey("eleventh", KEY_DUP, 0));
    EXPECT_EQ(t.GetErrorText(), "key count must less than 10  ");

    ASSERT_TRUE(t.Create(Path("t.sdb"), "title"));
    EXPECT_FALSE(t.CreateField("late", FT_INT));
    EXPECT_EQ(t.GetErrorText(), "must do before create db");

    CRecordTable many;
    for (int f = 0; f < MAX_FIELDS; ++f) ASSERT_TRUE(many.CreateField("f" + std::to_string(f), FT_BYTE));
    EXPECT_FALSE(many.CreateField("f128", FT_BYTE));
    EXPECT_EQ(many.GetErrorText(), "Field count must less than 128  ");
    EXPECT_EQ(many.GetFieldType(0), -1);  // the list was emptied

    CRecordTable keyless;
    ASSERT_TRUE(keyless.CreateField("a", FT_INT));
    EXPECT_FALSE(keyless.Create(Path("keyless.sdb"), ""));
    EXPECT_EQ(keyless.GetErrorText(), "Create Index error,please CreateKey first!");
}

// The bytes of a new table and of its first packed record and leaf.
TEST_F(TableTest, HeaderRecordAndLeafBytes) {
    CRecordTable t;
    DefineUsers(t);
    ASSERT_TRUE(t.Create(Path("u.sdb"), std::string(70, 'T')));
    std::vector<uint8_t> b = FileBytes(Path("u.sdb"));
    ASSERT_EQ(b.size(), 15472u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data())).size(), 21u);
    EXPECT_EQ(std::memcmp(b.data(), "ZqDB,", 5), 0);
    EXPECT_EQ(Int32At(b, 0x20), 4 + 64 + 4);
    EXPECT_EQ(Int16At(b, 0x1228), 3);
    EXPECT_EQ(Int16At(b, 0x1028 + 2), FT_STRING);
    EXPECT_EQ(Int16At(b, 0x1128 + 2), 64);
    EXPECT_EQ(Int16At(b, 0x3B92), 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[0x122A])), "id");
    EXPECT_EQ(Int16At(b, 0x136A + 4), KEY_DUP);
    EXPECT_EQ(Int16At(b, 0x137E + 256 * 2), 2);  // key 2 is on field 2
    EXPECT_EQ(Int16At(b, 0x3B7E), -1);
    EXPECT_EQ(Int32At(b, 0x3B94), -1);
    EXPECT_EQ(Int32At(b, kFreeRecordsAt), -1);
    EXPECT_EQ(Int32At(b, 0x3C10), -1);
    EXPECT_EQ(Int32At(b, 0x3C5C), -1);
    EXPECT_EQ(Int16At(b, 0x3C14), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[0x3C16])), std::string(59, 'T'));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[0x3C52])), "2.60");

    ASSERT_TRUE(AppendUser(t, "abc", 7));
    EXPECT_EQ(t.GetLastId(), 1);
    b = FileBytes(Path("u.sdb"));  // the header is on disk before Close
    EXPECT_EQ(Int32At(b, kCountAt), 1);
    const uint8_t record[] = {15, 0, 1, 0, 0, 0, 3, 0, 'a', 'b', 'c', 7, 0, 0, 0};
    ASSERT_GE(b.size(), 15472u + sizeof record);
    EXPECT_EQ(std::memcmp(&b[15472], record, sizeof record), 0);
    const int32_t leaf = Int32At(b, 0x3B94);  // key 0: the int id
    EXPECT_EQ(leaf, 15472 + 15);
    EXPECT_EQ(Int32At(b, 0x3BBC), leaf);
    EXPECT_EQ(Int32At(b, 0x3BE4), leaf);
    EXPECT_EQ(Int32At(b, leaf), 1);
    EXPECT_EQ(Int32At(b, leaf + 4), -1);
    EXPECT_EQ(Int32At(b, leaf + 808), 15472);
    EXPECT_EQ(Int32At(b, leaf + 1612), -1);
    EXPECT_EQ(Int32At(b, leaf + 1616), leaf);
    EXPECT_EQ(Int32At(b, leaf + 1620), -1);
    EXPECT_EQ(Int32At(b, leaf + 1624), -1);
    EXPECT_EQ(Int32At(b, leaf + 1628), 1);
    const int32_t nameLeaf = Int32At(b, 0x3B94 + 4);
    EXPECT_EQ(nameLeaf, leaf + 2432);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[nameLeaf + 1632])), "abc");
    EXPECT_EQ(b.size(), size_t(nameLeaf + 1632 + 201 * 65 + 2432));
}

TEST_F(TableTest, AutoIncIdsAndUniqueNames) {
    CRecordTable t;
    DefineUsers(t);
    ASSERT_TRUE(t.Create(Path("u.sdb"), ""));
    for (const char* name : {"ann", "bob", "cid"}) ASSERT_TRUE(AppendUser(t, name, 1));
    EXPECT_EQ(t.GetLastId(), 3);
    EXPECT_FALSE(AppendUser(t, "bob", 2));
    EXPECT_EQ(t.GetErrorText(), "the key is unduplicated");
    EXPECT_EQ(t.GetRecordCount(), 3);
    ASSERT_TRUE(t.Seek("NAME ", "cid"));
    EXPECT_EQ(t.GetFieldText("id"), "3");
    ASSERT_TRUE(t.DeleteRecord());
    ASSERT_TRUE(AppendUser(t, "dan", 1));
    EXPECT_EQ(t.GetLastId(), 3);  // the highest id is given again
    t.Close();
    ExpectValid(Path("u.sdb"));
}

// Ids come from the id field's own key, also when key 0 orders the records by something else.
TEST_F(TableTest, AutoIncIdsWithNameKeyFirst) {
    CRecordTable t;
    ASSERT_TRUE(t.CreateField("name", FT_STRING, 16));
    ASSERT_TRUE(t.CreateKey("name", KEY_UNIQUE, 0));
    ASSERT_TRUE(t.CreateField("id", FT_AUTOINC));
    ASSERT_TRUE(t.Create(Path("n.sdb"), ""));
    for (const char* name : {"b", "a", "c", "d"})
        ASSERT_TRUE(t.SetFieldText(name, 0) && t.AppendRecord()) << name << ": " << t.GetErrorText();
    ASSERT_TRUE(t.Seek("name", "d") && t.DeleteRecord());
    ASSERT_TRUE(t.SetFieldText("0", 0) && t.AppendRecord()) << t.GetErrorText();
    std::string ids;
    for (bool ok = t.MoveFirst(0); ok; ok = t.MoveNext(0)) ids += t.GetFieldText(0) + "=" + t.GetFieldText(1) + " ";
    EXPECT_EQ(ids, "0=4 a=2 b=1 c=3 ");
    t.Close();
    ExpectValid(Path("n.sdb"));
}

TEST_F(TableTest, FieldConversions) {
    CRecordTable t;
    ASSERT_TRUE(t.CreateField("s", FT_SHORT));
    ASSERT_TRUE(t.CreateField("f", FT_FLOAT));
    ASSERT_TRUE(t.CreateField("d", FT_DOUBLE));
    ASSERT_TRUE(t.CreateField("b", FT_BYTE));
    ASSERT_TRUE(t.CreateField("text", FT_STRING, 4));
    ASSERT_TRUE(t.CreateField("m", FT_MEMO));
    ASSERT_TRUE(t.CreateField("id", FT_AUTOINC));
    ASSERT_TRUE(t.Create(Path("c.sdb"), ""));
    EXPECT_TRUE(t.SetFieldText("12xyz", "s"));
    EXPECT_TRUE(t.SetFieldText("1.5", "f"));
    EXPECT_TRUE(t.SetFieldText("1.5", "d"));
    EXPECT_TRUE(t.SetFieldText("7", "b"));
    EXPECT_TRUE(t.SetFieldText("abcdef", "text"));
    EXPECT_FALSE(t.SetFieldText("1", "m"));
    EXPECT_FALSE(t.SetFieldText("1", "id"));
    int32_t id = 5;
    EXPECT_FALSE(t.SetFieldValue(&id, "id"));
    EXPECT_EQ(t.GetErrorText(), "field invalidation");
    ASSERT_TRUE(t.AppendRecord());
    ASSERT_TRUE(t.MoveFirst(0));
    EXPECT_EQ(t.GetFieldText("s"), "12");
    EXPECT_EQ(t.GetFieldText("f"), "1.500000");
    EXPECT_EQ(t.GetFieldText("d"), "1.50000000000000");
    EXPECT_EQ(t.GetFieldText("b"), "1");
    EXPECT_EQ(t.GetFieldText("text"), "abcd");
    EXPECT_EQ(t.GetFieldText("id"), "1");
    char raw[8];
    EXPECT_FALSE(t.GetFieldValue(raw, "m"));
    EXPECT_EQ(t.GetErrorText(), "field invalidation");
    double d = 0;
    ASSERT_TRUE(t.GetFieldValue(&d, "d"));
    EXPECT_EQ(d, 1.5);
    EXPECT_TRUE(t.SetFieldText("none", "s"));
    EXPECT_TRUE(t.SetFieldText("99999", "s"));  // held at the largest short
    ASSERT_TRUE(t.UpdateRecord());
    ASSERT_TRUE(t.MoveFirst(0));
    EXPECT_EQ(t.GetFieldText("s"), "32767");
    EXPECT_EQ(t.GetFieldText("id"), "1");  // kept by the update
}

// First fit over at most three free blocks; the fourth is never looked at.
TEST_F(TableTest, FreeBlocksFirstFitOfThree) {
    CRecordTable t;
    ASSERT_TRUE(t.CreateField("name", FT_STRING, 100));
    ASSERT_TRUE(t.CreateKey("name", KEY_UNIQUE, 0));
    ASSERT_TRUE(t.Create(Path("f.sdb"), ""));
    const std::string a(10, 'a'), b(20, 'b'), c(30, 'c'), d(40, 'd');
    for (const std::string& s : {a, b, c, d, std::string("z")}) ASSERT_TRUE(t.SetFieldText(s, 0) && t.AppendRecord());
    for (const std::string& s : {d, c, b, a})  // the list becomes a -> b -> c -> d
        ASSERT_TRUE(t.Seek("name", s.c_str()) && t.DeleteRecord());
    auto bytes = FileBytes(Path("f.sdb"));
    const int32_t blockA = Int32At(bytes, kFreeRecordsAt);
    const int32_t blockB = Int32At(bytes, blockA + 2);
    const int32_t blockC = Int32At(bytes, blockB + 2);
    EXPECT_EQ(Int16At(bytes, blockC), 2 + 2 + 30);
    const size_t size = bytes.size();

    ASSERT_TRUE(t.SetFieldText(std::string(40, 'e'), 0) && t.AppendRecord());  // fits only the fourth
    bytes = FileBytes(Path("f.sdb"));
    EXPECT_EQ(bytes.size(), size + 44);
    ASSERT_TRUE(t.SetFieldText(std::string(25, 'f'), 0) && t.AppendRecord());  // the third
    bytes = FileBytes(Path("f.sdb"));
    EXPECT_EQ(bytes.size(), size + 44);
    EXPECT_EQ(Int16At(bytes, blockC), 2 + 2 + 25);
    EXPECT_EQ(Int32At(bytes, kFreeRecordsAt), blockA);
    ASSERT_TRUE(t.SetFieldText("g", 0) && t.AppendRecord());  // the head
    bytes = FileBytes(Path("f.sdb"));
    EXPECT_EQ(Int32At(bytes, kFreeRecordsAt), blockB);
    ASSERT_TRUE(t.Seek("name", std::string(25, 'f').c_str()));
    t.Close();
    ExpectValid(Path("f.sdb"));
}

TEST_F(TableTest, MoveNextAfterDelete) {
    CRecordTable t;
    DefineUsers(t);
    ASSERT_TRUE(t.Create(Path("u.sdb"), ""));
    for (const char* name : {"a", "b", "c"}) ASSERT_TRUE(AppendUser(t, name, 1));
    ASSERT_TRUE(t.Seek("name", "b"));
    ASSERT_TRUE(t.DeleteRecord());
    EXPECT_EQ(t.GetFieldText("name"), "");
    EXPECT_FALSE(t.DeleteRecord());
    ASSERT_TRUE(t.MoveNext(1));
    EXPECT_EQ(t.GetFieldText("name"), "c");
    EXPECT_FALSE(t.MoveNext(1));
    EXPECT_EQ(t.GetFieldText("name"), "c");  // the cursor stays
}

TEST_F(TableTest, UpdateCollisionLeavesTableUnchanged) {
    CRecordTable t;
    DefineUsers(t);
    ASSERT_TRUE(t.Create(Path("u.sdb"), ""));
    ASSERT_TRUE(AppendUser(t, "ann", 1));
    ASSERT_TRUE(AppendUser(t, "bob", 1));
    t.Close();
    const auto before = FileBytes(Path("u.sdb"));
    ASSERT_TRUE(t.Open(Path("u.sdb"), OpenMode::ReadWrite));
    ASSERT_TRUE(t.Seek("name", "bob"));
    ASSERT_TRUE(t.SetFieldText("ann", "name"));
    EXPECT_FALSE(t.UpdateRecord());
    EXPECT_EQ(t.GetErrorText(), "the key is unduplicated");
    EXPECT_EQ(t.GetFieldText("name"), "bob");  // still current
    t.Close();
    EXPECT_EQ(FileBytes(Path("u.sdb")), before);

    // The rejected values leave the edit buffer: it holds the old record again.
    ASSERT_TRUE(t.Open(Path("u.sdb"), OpenMode::ReadWrite));
    ASSERT_TRUE(t.Seek("name", "bob"));
    ASSERT_TRUE(t.SetFieldText("ann", "name") && t.SetFieldText("7", "group"));
    EXPECT_FALSE(t.UpdateRecord());
    ASSERT_TRUE(t.SetFieldText("bo", "name"));
    ASSERT_TRUE(t.UpdateRecord()) << t.GetErrorText();
    ASSERT_TRUE(t.Seek("name", "bo"));
    EXPECT_EQ(t.GetFieldText("group"), "1");
    ASSERT_TRUE(t.SetFieldText("bob", "name") && t.UpdateRecord());
    t.Close();

    ASSERT_TRUE(t.Open(Path("u.sdb"), OpenMode::ReadWrite));
    ASSERT_TRUE(t.Seek("name", "bob"));
    ASSERT_TRUE(t.SetFieldText("cy", "name"));
    ASSERT_TRUE(t.UpdateRecord());
    EXPECT_FALSE(t.Seek("name", "bob"));
    ASSERT_TRUE(t.Seek("name", "cy"));
    EXPECT_EQ(t.GetFieldText("id"), "2");
    EXPECT_EQ(t.GetRecordCount(), 2);
    t.Close();
    ExpectValid(Path("u.sdb"));
}

TEST_F(TableTest, OpenModesAndFailures) {
    CRecordTable t;
    EXPECT_FALSE(t.Open(Path("missing.sdb"), OpenMode::Read));
    EXPECT_EQ(t.GetErrorText(), "file can't be  opened!");
    EXPECT_EQ(t.GetRecordCount(), -1);

    std::vector<uint8_t> keyless(HEADER_SIZE, 0);
    WriteFileBytes(Path("keyless.sdb"), keyless);
    EXPECT_FALSE(t.Open(Path("keyless.sdb"), OpenMode::ReadWrite));
    EXPECT_EQ(t.GetErrorText(), "key not found");
    EXPECT_FALSE(t.AppendRecord());
    EXPECT_EQ(t.GetErrorText(), "key not found");
    std::filesystem::resize_file(Path("keyless.sdb"), 100);
    EXPECT_FALSE(t.Open(Path("keyless.sdb"), OpenMode::Read));
    EXPECT_NE(t.GetErrorText().find("damaged"), std::string::npos);

    DefineUsers(t);
    ASSERT_TRUE(t.Create(Path("u.sdb"), ""));
    ASSERT_TRUE(AppendUser(t, "ann", 1));
    t.Close();
    ASSERT_TRUE(t.Open(Path("u.sdb"), OpenMode::Read));
    ASSERT_TRUE(t.Seek("name", "ann"));
    EXPECT_FALSE(t.DeleteRecord());
    EXPECT_EQ(t.GetErrorText(), "the table is open for reading only");
    EXPECT_FALSE(AppendUser(t, "bob", 1));
    EXPECT_EQ(t.GetRecordCount(), 1);
}

// Readers share a table; a writer excludes everybody, also another object of the same process.
TEST_F(TableTest, LocksExcludeWriters) {
    CRecordTable t;
    DefineUsers(t);
    ASSERT_TRUE(t.Create(Path("u.sdb"), ""));
    ASSERT_TRUE(AppendUser(t, "ann", 1));
    CRecordTable other;
    other.SetLockTimeout(100);
    EXPECT_FALSE(other.Open(Path("u.sdb"), OpenMode::Read));
    EXPECT_NE(other.GetErrorText().find("in use"), std::string::npos);
    t.Close();
    ASSERT_TRUE(t.Open(Path("u.sdb"), OpenMode::Read));
    ASSERT_TRUE(other.Open(Path("u.sdb"), OpenMode::Read));
    EXPECT_TRUE(other.Seek("name", "ann"));
    other.Close();
    EXPECT_FALSE(other.Open(Path("u.sdb"), OpenMode::ReadWrite));
    t.Close();
    EXPECT_TRUE(other.Open(Path("u.sdb"), OpenMode::ReadWrite));
}

}  // namespace
}  // namespace tw
