// Shared helpers of the record engine tests: a scratch directory per test and the tables they use.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "recordengine/RecordTable.h"
#include "recordengine/TableCheck.h"

namespace tw {

// id (FT_AUTOINC, key 0 "id"), name (FT_STRING 64, KEY_UNIQUE "name"), group (FT_INT, KEY_DUP "group").
inline void DefineUsers(CRecordTable& t) {
    ASSERT_TRUE(t.CreateField("id", FT_AUTOINC));
    ASSERT_TRUE(t.CreateField("name", FT_STRING, 64));
    ASSERT_TRUE(t.CreateField("group", FT_INT));
    ASSERT_TRUE(t.CreateKey("name", KEY_UNIQUE, 1));
    ASSERT_TRUE(t.CreateKey("group", KEY_DUP, 2));
}

inline bool AppendUser(CRecordTable& t, const std::string& name, int group) {
    return t.SetFieldText(name, 1) && t.SetFieldText(std::to_string(group), 2) && t.AppendRecord();
}

inline void ExpectValid(const std::string& path) {
    std::string error;
    EXPECT_TRUE(CheckTable(path, error)) << error;
}

class TableTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/recordengine-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
};

// The bytes of a file, read past any lock, written back, and little-endian fields in them.
inline std::vector<uint8_t> FileBytes(const std::string& path) {
    std::vector<uint8_t> bytes(std::filesystem::file_size(path));
    FILE* f = std::fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr);
    if (f) {
        EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
        std::fclose(f);
    }
    return bytes;
}

inline void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

inline int32_t Int32At(const std::vector<uint8_t>& b, size_t off) {
    return static_cast<int32_t>(b.at(off) | b.at(off + 1) << 8 | b.at(off + 2) << 16 |
                                static_cast<uint32_t>(b.at(off + 3)) << 24);
}

inline int Int16At(const std::vector<uint8_t>& b, size_t off) {
    return static_cast<int16_t>(b.at(off) | b.at(off + 1) << 8);
}

inline void PatchInt32(const std::string& path, long off, int32_t v) {
    FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(uint32_t(v) >> 24)};
    std::fseek(f, off, SEEK_SET);
    std::fwrite(b, 1, 4, f);
    std::fclose(f);
}

}  // namespace tw
