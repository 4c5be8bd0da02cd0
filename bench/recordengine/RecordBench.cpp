// Record engine benchmark: a user table of 100,000 records with a unique string key.
// Measures the bulk append, the login lookup (Open + Seek + Close), a full key-order walk and the file size.
// Usage: recordengine_bench [DIRECTORY] [RECORDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "recordengine/RecordTable.h"

using namespace tw;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

std::string UserName(int i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "user%06d", i);
    return buf;
}

bool Fail(const CRecordTable& t, const char* what) {
    std::fprintf(stderr, "%s: %s\n", what, t.GetErrorText().c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path();
    const int records = argc > 2 ? std::stoi(argv[2]) : 100000;
    const std::string path = (dir / "bench-user.sdb").string();

    std::vector<int> order(static_cast<size_t>(records));
    for (int i = 0; i < records; ++i) order[static_cast<size_t>(i)] = i;
    std::mt19937 rng(1);
    std::shuffle(order.begin(), order.end(), rng);

    CRecordTable t;
    if (!t.CreateField("id", FT_AUTOINC) || !t.CreateField("name", FT_STRING, 32) ||
        !t.CreateField("password", FT_STRING, 64) || !t.CreateField("home", FT_STRING, 260) ||
        !t.CreateField("quota", FT_INT) || !t.CreateField("enabled", FT_BYTE) ||
        !t.CreateKey("name", KEY_UNIQUE, 1, 2) || !t.Create(path, "users"))
        return Fail(t, "create"), 1;
    auto start = Clock::now();
    for (int i : order) {
        if (!t.SetFieldText(UserName(i), "name") || !t.SetFieldText("5f4dcc3b5aa765d61d8327deb882cf99", "password") ||
            !t.SetFieldText("/srv/ftp/" + UserName(i), "home") || !t.SetFieldText("1024", "quota") ||
            !t.SetFieldText("1", "enabled") || !t.AppendRecord())
            return Fail(t, "append"), 1;
    }
    t.Close();
    const double append = Seconds(start);

    std::vector<double> lookups;
    for (int i = 0; i < 5000; ++i) {
        const std::string name = UserName(static_cast<int>(rng() % static_cast<unsigned>(records)));
        start = Clock::now();
        CRecordTable login;
        if (!login.Open(path, OpenMode::Read) || !login.Seek("name", name.c_str())) return Fail(login, "lookup"), 1;
        login.Close();
        lookups.push_back(Seconds(start) * 1e6);
    }
    std::sort(lookups.begin(), lookups.end());

    if (!t.Open(path, OpenMode::Read)) return Fail(t, "open"), 1;
    start = Clock::now();
    int walked = 0;
    for (bool ok = t.MoveFirst(1); ok; ok = t.MoveNext(1)) ++walked;
    const double walk = Seconds(start);
    t.Close();

    std::printf("records                     %d\n", records);
    std::printf("bulk append                 %.2f s (%.1f us per record)\n", append, append * 1e6 / records);
    std::printf("Open+Seek+Close median      %.1f us (p99 %.1f us)\n", lookups[lookups.size() / 2],
                lookups[lookups.size() * 99 / 100]);
    std::printf("key-order walk              %.3f s (%d records)\n", walk, walked);
    std::printf("file size                   %.1f MB (%ju bytes)\n", std::filesystem::file_size(path) / 1048576.0,
                static_cast<uintmax_t>(std::filesystem::file_size(path)));
    std::filesystem::remove(path);
    return walked == records ? 0 : 1;
}
