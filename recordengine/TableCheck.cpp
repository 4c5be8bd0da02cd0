// The table structure check (what it covers is in TableCheck.h).
#include "recordengine/TableCheck.h"

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "recordengine/IndexKey.h"
#include "recordengine/IndexNode.h"
#include "recordengine/RecordLayout.h"
#include "recordengine/TableFile.h"
#include "recordengine/TableHeader.h"

namespace tw {

namespace {

constexpr int kMaxDepth = 32;
constexpr int kLockTimeoutMs = 5000;

class CTableChecker {
public:
    bool Run(const std::string& fileName, CTableCheckSummary& summary);
    std::string error;

private:
    struct Extent {
        int64_t pos;
        int64_t length;
        std::string what;
    };

    bool Fail(const std::string& what) {
        error = what;
        return false;
    }
    bool CheckKey(int k, CTableCheckSummary& summary);
    bool Walk(int k, int32_t pos, int depth, int32_t parent, std::vector<uint8_t>& largest);
    bool CheckEntry(int k, const uint8_t* key, int32_t word);
    bool CheckRecord(int k, const uint8_t* key, int32_t pos);
    bool CheckFreeLists(CTableCheckSummary& summary);
    bool CheckExtents();

    CTableFile file_;
    CTableHeader header_;
    CRecordLayout layout_;
    std::vector<CIndexKey> keys_;
    std::vector<Extent> extents_;
    std::set<int32_t> nodesSeen_;
    std::map<int32_t, int> recordLengths_;
    // Per key walk state.
    std::vector<int32_t> leaves_;
    int leafDepth_ = -1;
    std::vector<int32_t> keyRecords_;
    int64_t chainNodes_ = 0;
};

bool CTableChecker::Run(const std::string& fileName, CTableCheckSummary& summary) {
    if (file_.Open(fileName, FileAccess::Read, kLockTimeoutMs) != FileOpenResult::Ok) return Fail(file_.Error());
    if (!file_.ReadAt(0, header_.Data(), HEADER_SIZE)) return Fail("the file is shorter than a table header");
    if (!header_.Validate(error)) return false;
    if (header_.KeyCount() == 0) return Fail("the table has no key");
    layout_.Load(header_);
    for (int k = 0; k < header_.KeyCount(); ++k) {
        keys_.emplace_back();
        keys_.back().Load(header_, layout_, k);
    }
    extents_.push_back({0, HEADER_SIZE, "the header"});
    std::vector<int32_t> firstKeyRecords;
    for (int k = 0; k < header_.KeyCount(); ++k) {
        if (!CheckKey(k, summary)) return false;
        std::sort(keyRecords_.begin(), keyRecords_.end());
        if (std::adjacent_find(keyRecords_.begin(), keyRecords_.end()) != keyRecords_.end())
            return Fail("key " + std::to_string(k) + " holds a record twice");
        if (k == 0)
            firstKeyRecords = keyRecords_;
        else if (keyRecords_ != firstKeyRecords)
            return Fail("key " + std::to_string(k) + " does not hold the same records as key 0");
    }
    for (const auto& [pos, length] : recordLengths_)
        extents_.push_back({pos, length, "the record at " + std::to_string(pos)});
    summary.records = header_.Count();
    summary.keys = header_.KeyCount();
    return CheckFreeLists(summary) && CheckExtents();
}

bool CTableChecker::CheckKey(int k, CTableCheckSummary& summary) {
    const std::string key = "key " + std::to_string(k);
    leaves_.clear();
    leafDepth_ = -1;
    keyRecords_.clear();
    chainNodes_ = 0;
    const int32_t root = header_.Root(k);
    if (root == -1) {
        if (header_.FirstLeaf(k) != -1 || header_.LastLeaf(k) != -1) return Fail(key + " has no root but leaves");
        if (header_.Count() != 0) return Fail(key + " is empty but the count is " + std::to_string(header_.Count()));
        return true;
    }
    std::vector<uint8_t> largest;
    if (!Walk(k, root, 0, -1, largest)) return false;
    if (leaves_.front() != header_.FirstLeaf(k))
        return Fail(key + ": the first leaf is " + std::to_string(leaves_.front()) + ", the header says " +
                    std::to_string(header_.FirstLeaf(k)));
    if (leaves_.back() != header_.LastLeaf(k))
        return Fail(key + ": the last leaf is " + std::to_string(leaves_.back()) + ", the header says " +
                    std::to_string(header_.LastLeaf(k)));
    for (size_t i = 0; i < leaves_.size(); ++i) {
        CIndexNode leaf;
        if (!ReadNodeFixed(file_, leaves_[i], leaf, error)) return false;
        const int32_t prev = i == 0 ? -1 : leaves_[i - 1];
        const int32_t next = i + 1 == leaves_.size() ? -1 : leaves_[i + 1];
        if (leaf.prev != prev || leaf.next != next)
            return Fail(key + ": the leaf at " + std::to_string(leaves_[i]) + " links to " + std::to_string(leaf.prev) +
                        " and " + std::to_string(leaf.next) + " instead of " + std::to_string(prev) + " and " +
                        std::to_string(next));
    }
    if (static_cast<int64_t>(keyRecords_.size()) != header_.Count())
        return Fail(key + " holds " + std::to_string(keyRecords_.size()) + " live records, the count is " +
                    std::to_string(header_.Count()));
    summary.indexNodes = static_cast<int64_t>(nodesSeen_.size());
    summary.chainNodes += chainNodes_;
    return true;
}

bool CTableChecker::Walk(int k, int32_t pos, int depth, int32_t parent, std::vector<uint8_t>& largest) {
    const CIndexKey& def = keys_[static_cast<size_t>(k)];
    const std::string at = "key " + std::to_string(k) + ", node " + std::to_string(pos);
    if (depth == kMaxDepth)
        return Fail("key " + std::to_string(k) + ": the tree is deeper than " + std::to_string(kMaxDepth) + " levels");
    if (!nodesSeen_.insert(pos).second) return Fail(at + " is reached twice");
    CIndexNode node;
    uint8_t self[4];
    if (!ReadNode(file_, def, pos, node, error) || !file_.ReadAt(pos + 1616, self, sizeof self))
        return Fail("key " + std::to_string(k) + ": " + error);
    extents_.push_back({pos, def.NodeSize(), "the index node at " + std::to_string(pos)});
    if (GetInt32(self) != pos) return Fail(at + " says it is at " + std::to_string(GetInt32(self)));
    if (depth > 0 && node.parent != parent)
        return Fail(at + " names " + std::to_string(node.parent) + " as parent instead of " + std::to_string(parent));
    for (int i = 0; i + 1 < node.count; ++i) {
        if (def.Compare(node.Key(i), node.Key(i + 1)) >= 0)
            return Fail(at + ": entries " + std::to_string(i) + " and " + std::to_string(i + 1) + " are not ascending");
    }
    const bool leaf = node.child[0] == -1;
    for (int i = 0; i < node.count; ++i) {
        if ((node.child[i] == -1) != leaf) return Fail(at + " mixes leaf and internal entries");
        if (leaf) {
            if (node.record[i] != -1 && !CheckEntry(k, node.Key(i), node.record[i])) return false;
            continue;
        }
        std::vector<uint8_t> below;
        if (!Walk(k, node.child[i], depth + 1, pos, below)) return false;
        if (def.Compare(node.Key(i), below.data()) != 0)
            return Fail(at + ": key " + std::to_string(i) + " is not the largest key of its subtree");
    }
    if (leaf) {
        if (leafDepth_ != -1 && leafDepth_ != depth)
            return Fail(at + " is a leaf at depth " + std::to_string(depth) + ", others at " +
                        std::to_string(leafDepth_));
        leafDepth_ = depth;
        leaves_.push_back(pos);
    }
    largest.assign(node.Key(node.count - 1), node.Key(node.count - 1) + def.SlotWidth());
    return true;
}

bool CTableChecker::CheckEntry(int k, const uint8_t* key, int32_t word) {
    if (keys_[static_cast<size_t>(k)].IsUnique() || !IsChainNode(file_, word)) return CheckRecord(k, key, word);
    const std::string chain = "key " + std::to_string(k) + ", the chain at " + std::to_string(word);
    CChainNode head;
    if (!ReadChainNode(file_, word, head, error)) return false;
    if (head.prev != -1) return Fail(chain + ": the head has a predecessor");
    int32_t prev = -1, at = word;
    for (int64_t n = 0; at != -1; ++n) {
        if (n > file_.Size() / CHAIN_NODE_SIZE) return Fail(chain + " loops");
        CChainNode node;
        if (!ReadChainNode(file_, at, node, error)) return Fail(chain + ": " + error);
        if (node.prev != prev)
            return Fail(chain + ": the node at " + std::to_string(at) + " names " + std::to_string(node.prev) +
                        " as predecessor instead of " + std::to_string(prev));
        extents_.push_back({at, CHAIN_NODE_SIZE, "the chain node at " + std::to_string(at)});
        ++chainNodes_;
        if (!CheckRecord(k, key, node.record)) return false;
        prev = at;
        at = node.next;
    }
    const bool alone = prev == word;
    if (alone ? head.last != -1 && head.last != word : head.last != prev)
        return Fail(chain + ": the head names " + std::to_string(head.last) + " as last node instead of " +
                    std::to_string(prev));
    return true;
}

bool CTableChecker::CheckRecord(int k, const uint8_t* key, int32_t pos) {
    const CIndexKey& def = keys_[static_cast<size_t>(k)];
    std::vector<uint8_t> image(static_cast<size_t>(layout_.Length()));
    std::vector<uint8_t> value(static_cast<size_t>(def.SlotWidth()));
    int length = 0;
    if (!layout_.Read(file_, pos, image.data(), length, error)) return Fail("key " + std::to_string(k) + ": " + error);
    def.Build(image.data(), value.data());
    if (def.Compare(key, value.data()) != 0)
        return Fail("key " + std::to_string(k) + ": the record at " + std::to_string(pos) +
                    " does not carry the key of its entry");
    recordLengths_[pos] = length;
    keyRecords_.push_back(pos);
    return true;
}

bool CTableChecker::CheckFreeLists(CTableCheckSummary& summary) {
    const int64_t size = file_.Size();
    const bool fixed = layout_.Format() == FORMAT_FIXED;
    int32_t at = header_.FreeRecords();
    for (int64_t n = 0; at > 0; ++n) {
        uint8_t block[6];
        if (n > size / 4) return Fail("the free record list loops");
        if (at < HEADER_SIZE || at > size - 6 || !file_.ReadAt(at, block, sizeof block))
            return Fail("the free record list leaves the file at " + std::to_string(at));
        const int length = fixed ? layout_.Length() : block[0] | block[1] << 8;
        if (length < (fixed ? 4 : 6) || at > size - length)
            return Fail("the free record block at " + std::to_string(at) + " has length " + std::to_string(length));
        extents_.push_back({at, length, "the free record block at " + std::to_string(at)});
        ++summary.freeRecordBlocks;
        at = GetInt32(fixed ? block : block + 2);
    }
    at = header_.FreeChainNodes();
    for (int64_t n = 0; at > 0; ++n) {
        uint8_t link[4];
        if (n > size / CHAIN_NODE_SIZE) return Fail("the free chain node list loops");
        if (at < HEADER_SIZE || at > size - CHAIN_NODE_SIZE || !file_.ReadAt(at, link, sizeof link))
            return Fail("the free chain node list leaves the file at " + std::to_string(at));
        extents_.push_back({at, CHAIN_NODE_SIZE, "the free chain node at " + std::to_string(at)});
        ++summary.freeChainNodes;
        at = GetInt32(link);
    }
    return true;
}

bool CTableChecker::CheckExtents() {
    std::sort(extents_.begin(), extents_.end(), [](const Extent& a, const Extent& b) { return a.pos < b.pos; });
    for (size_t i = 0; i < extents_.size(); ++i) {
        const Extent& e = extents_[i];
        if (e.pos + e.length > file_.Size()) return Fail(e.what + " runs past the end of the file");
        if (i + 1 < extents_.size() && e.pos + e.length > extents_[i + 1].pos)
            return Fail(e.what + " overlaps " + extents_[i + 1].what);
    }
    return true;
}

}  // namespace

bool CheckTable(const std::string& fileName, std::string& error, CTableCheckSummary* summary) {
    CTableChecker checker;
    CTableCheckSummary local;
    const bool ok = checker.Run(fileName, summary ? *summary : local);
    error = checker.error;
    return ok;
}

}  // namespace tw
