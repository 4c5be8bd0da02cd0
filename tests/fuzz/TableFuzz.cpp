// libFuzzer target: arbitrary bytes opened as a table, walked, changed and checked. Any crash, sanitizer
// report or endless walk is a finding. The corpus directory gets seed tables made by the engine itself.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "recordengine/RecordTable.h"
#include "recordengine/TableCheck.h"

using namespace tw;

namespace {

std::string g_path;

void Seed(const std::string& path, bool small) {
    CRecordTable t;
    t.CreateField("id", FT_AUTOINC);
    t.CreateField("name", FT_STRING, 16);
    t.CreateField("group", small ? FT_DOUBLE : FT_INT);
    t.CreateField("flag", FT_BYTE);
    t.CreateField("memo", FT_MEMO);
    t.CreateKey("name", KEY_UNIQUE, 1, small ? 2 : 1);
    t.CreateKey("group", KEY_DUP, 2);
    if (small) t.CreateKey("flag", KEY_DUP, 3);
    t.Create(path, "seed");
    const int records = small ? 12 : 260;
    for (int i = 0; i < records; ++i) {
        t.SetFieldText("n" + std::to_string(i * 37 % records), 1);
        t.SetFieldText(std::to_string(i % 7), 2);
        t.SetFieldText(std::to_string(i % 2), 3);
        t.AppendRecord();
    }
    for (int i = 0; i < records; i += 5) {
        if (t.Seek("name", ("n" + std::to_string(i)).c_str())) t.DeleteRecord();
    }
}

// The engine ends a walk with more steps than the file has bytes; going past that is a finding.
void Walk(CRecordTable& t) {
    const uintmax_t fileSize = std::filesystem::file_size(g_path);
    for (int k = 0; k < t.GetKeyCount(); ++k) {
        uintmax_t steps = 0;
        for (bool ok = t.MoveFirst(k); ok; ok = t.MoveNext(k)) {
            if (++steps > fileSize + 1) std::abort();
            for (int f = 0; f < t.GetFieldCount(); ++f) t.GetFieldText(f);
        }
        t.MoveLast(k);
    }
    // Keys of any type read their value from here: 3 as an int32 or the text "n7".
    char value[MAX_KEY_LENGTH + 1] = {3};
    t.SeekKey(0, value);
    std::snprintf(value, sizeof value, "n7");
    t.Seek("name", value);
    t.GetLastId();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    g_path =
        (std::filesystem::temp_directory_path() / ("recordengine-fuzz-" + std::to_string(getpid()) + ".sdb")).string();
    std::atexit([] {
        std::filesystem::remove(g_path);
        std::filesystem::remove(g_path + "-journal");
    });
    for (int i = 1; i < *argc; ++i) {
        const std::string arg = (*argv)[i];
        if (arg.empty() || arg[0] == '-' || (std::filesystem::exists(arg) && !std::filesystem::is_directory(arg)))
            continue;
        std::filesystem::create_directories(arg);
        if (std::filesystem::is_empty(arg)) {
            Seed(arg + "/seed-users.sdb", false);
            Seed(arg + "/seed-small.sdb", true);
        }
        break;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(g_path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    std::filesystem::remove(g_path + "-journal");
    {
        CRecordTable t;
        t.SetLockTimeout(0);
        if (t.Open(g_path, OpenMode::Read)) Walk(t);
    }
    {
        CRecordTable t;
        t.SetLockTimeout(0);
        if (t.Open(g_path, OpenMode::ReadWrite)) {
            if (t.MoveFirst(0)) t.DeleteRecord();
            t.SetFieldText("fresh", 1);
            t.SetFieldText("4", 2);
            t.AppendRecord();
            if (t.MoveLast(t.GetKeyCount() - 1)) {
                t.SetFieldText("n7", 1);
                t.UpdateRecord();
            }
            Walk(t);
        }
    }
    std::string error;
    CheckTable(g_path, error);
    return 0;
}
