// Randomized appends, updates and deletes against a model, with the structure check after each phase.
#include "tests/unit/recordengine/TableTestUtil.h"

#include <list>
#include <map>
#include <random>

namespace tw {
namespace {

struct User {
    int id;
    int group;
};

class Model {
public:
    std::map<std::string, User> byName;
    std::map<int, std::list<std::string>> byGroup;  // chain order: append order, updates keep places

    int NextId() const {
        int top = 0;
        for (const auto& [name, u] : byName) top = std::max(top, u.id);
        return top + 1;
    }
};

TEST_F(TableTest, RandomizedAgainstModel) {
    const std::string path = Path("model.sdb");
    CRecordTable t;
    DefineUsers(t);
    ASSERT_TRUE(t.Create(path, ""));
    t.Close();
    Model m;
    std::mt19937 rng(20261208);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto randomName = [&] {
        return "user" + std::to_string(pick(3000)) + std::string(static_cast<size_t>(pick(30)), 'x');
    };
    auto existing = [&]() -> std::string {
        auto it = m.byName.begin();
        std::advance(it, pick(static_cast<int>(m.byName.size())));
        return it->first;
    };

    for (int phase = 0; phase < 6; ++phase) {
        ASSERT_TRUE(t.Open(path, OpenMode::ReadWrite)) << t.GetErrorText();
        for (int op = 0; op < 5000; ++op) {
            const int kind = pick(10);
            if (kind < 5 || m.byName.size() < 10) {
                const std::string name = randomName();
                const int group = pick(40);
                const bool fresh = !m.byName.count(name);
                const int id = m.NextId();
                ASSERT_EQ(AppendUser(t, name, group), fresh) << name << ": " << t.GetErrorText();
                if (fresh) {
                    EXPECT_EQ(t.GetLastId(), id);
                    m.byName[name] = {id, group};
                    m.byGroup[group].push_back(name);
                }
            } else if (kind < 8) {
                const std::string name = existing();
                ASSERT_TRUE(t.Seek("name", name.c_str()));
                const std::string to = pick(2) ? randomName() : name;
                const int group = pick(3) ? m.byName[name].group : pick(40);
                ASSERT_TRUE(t.SetFieldText(to, "name") && t.SetFieldText(std::to_string(group), "group"));
                const bool ok = to == name || !m.byName.count(to);
                ASSERT_EQ(t.UpdateRecord(), ok) << t.GetErrorText();
                if (!ok) continue;
                User u = m.byName[name];
                auto& chain = m.byGroup[u.group];
                auto place = std::find(chain.begin(), chain.end(), name);
                if (group == u.group) {
                    *place = to;
                } else {
                    chain.erase(place);
                    m.byGroup[group].push_back(to);
                }
                m.byName.erase(name);
                u.group = group;
                m.byName[to] = u;
            } else {
                const std::string name = existing();
                ASSERT_TRUE(t.Seek("name", name.c_str()));
                ASSERT_TRUE(t.DeleteRecord()) << t.GetErrorText();
                m.byGroup[m.byName[name].group].remove(name);
                m.byName.erase(name);
            }
        }
        t.Close();
        std::string error;
        ASSERT_TRUE(CheckTable(path, error)) << "phase " << phase << ": " << error;

        ASSERT_TRUE(t.Open(path, OpenMode::Read));
        ASSERT_EQ(t.GetRecordCount(), static_cast<int>(m.byName.size()));
        auto it = m.byName.begin();
        for (bool ok = t.MoveFirst(1); ok; ok = t.MoveNext(1), ++it) {
            ASSERT_NE(it, m.byName.end());
            ASSERT_EQ(t.GetFieldText("name"), it->first);
            ASSERT_EQ(t.GetFieldText("id"), std::to_string(it->second.id));
        }
        EXPECT_EQ(it, m.byName.end());
        std::vector<std::string> expected, got;
        for (const auto& [group, names] : m.byGroup) expected.insert(expected.end(), names.begin(), names.end());
        for (bool ok = t.MoveFirst(2); ok; ok = t.MoveNext(2)) got.push_back(t.GetFieldText("name"));
        ASSERT_EQ(got, expected);
        int previous = 0, count = 0;
        for (bool ok = t.MoveFirst(0); ok; ok = t.MoveNext(0), ++count) {
            const int id = std::stoi(t.GetFieldText("id"));
            ASSERT_GT(id, previous);
            previous = id;
        }
        EXPECT_EQ(count, t.GetRecordCount());
        t.Close();
    }
}

}  // namespace
}  // namespace tw
