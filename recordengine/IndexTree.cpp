// Index tree search, insertion and removal, duplicate chains, and leaf walks (see IndexTree.h).
#include "recordengine/IndexTree.h"

#include <cstring>

namespace tw {

namespace {

constexpr int kMaxDepth = 32;
constexpr int kKeepOnSplit = 100;  // the old node keeps entries 0..99, the new one gets 100..200

}  // namespace

bool CIndexTree::Damaged(const std::string& what) {
    error_ = "index of key " + std::to_string(k_) + " is damaged: " + what;
    return false;
}

bool CIndexTree::EndOfFile(int64_t size, int32_t& pos) {
    return file_.EndPosition(size, pos) || (error_ = file_.Error(), false);
}

bool CIndexTree::WriteTracked(const CIndexNode& node) {
    if (!WriteNode(file_, key_, node, error_)) return false;
    if (node.IsLeaf() && node.next == -1) header_.SetLastLeaf(k_, node.self);
    return true;
}

bool CIndexTree::Search(const uint8_t* value, bool raise, CSearchResult& result) {
    result = CSearchResult{};
    const int w = key_.SlotWidth();
    int32_t pos = header_.Root(k_);
    if (pos == -1) return true;
    for (int depth = 0;; ++depth) {
        if (depth == kMaxDepth) return Damaged("the tree is deeper than " + std::to_string(kMaxDepth) + " levels");
        CIndexNode node;
        if (!ReadNode(file_, key_, pos, node, error_)) return false;
        result.path.push_back(pos);
        const int n = node.count;
        int p = 0;
        bool above = false;
        if (key_.Compare(value, node.Key(0)) < 0) {
            p = 0;
        } else if (key_.Compare(value, node.Key(n - 1)) > 0) {
            p = n - 1;
            above = true;
            result.pastEnd = true;
            if (raise && node.child[n - 1] != -1) {
                std::memcpy(node.Key(n - 1), value, static_cast<size_t>(w));
                if (!WriteNode(file_, key_, node, error_)) return false;
            }
        } else {
            int lo = 0, hi = n - 1;  // first key not below the value; key[n-1] is not
            while (lo < hi) {
                const int mid = (lo + hi) / 2;
                if (key_.Compare(node.Key(mid), value) < 0)
                    lo = mid + 1;
                else
                    hi = mid;
            }
            p = lo;
        }
        const bool equal = !above && key_.Compare(value, node.Key(p)) == 0;
        if (node.child[p] == -1) {
            result.found = equal;
            result.entry = equal ? p : p + (above ? 1 : 0);
            result.word = equal ? node.record[p] : -1;
            result.leaf = std::move(node);
            return true;
        }
        pos = node.child[p];
    }
}

bool CIndexTree::Reparent(int32_t pos, int32_t parent) {
    CIndexNode node;
    if (!ReadNodeFixed(file_, pos, node, error_)) return false;
    node.parent = parent;
    return WriteNodeFixed(file_, node, error_);
}

bool CIndexTree::Relink(int32_t pos, int32_t from, int32_t to) {
    CIndexNode node;
    if (!ReadNodeFixed(file_, pos, node, error_)) return false;
    if (!node.IsLeaf() || node.prev != from)
        return Damaged("the leaf at " + std::to_string(from) + " leads to " + std::to_string(pos) +
                       ", which does not link back");
    node.prev = to;
    return WriteNodeFixed(file_, node, error_);
}

bool CIndexTree::Insert(const uint8_t* value, int32_t record, CSearchResult& at) {
    const size_t w = static_cast<size_t>(key_.SlotWidth());
    const int size = key_.NodeSize();
    if (header_.Root(k_) == -1) {
        int32_t pos;
        if (!EndOfFile(size, pos)) return false;
        CIndexNode leaf;
        leaf.Init(key_, pos);
        leaf.count = 1;
        std::memcpy(leaf.Key(0), value, w);
        leaf.record[0] = record;
        if (!WriteNode(file_, key_, leaf, error_)) return false;
        header_.SetRoot(k_, pos);
        header_.SetFirstLeaf(k_, pos);
        header_.SetLastLeaf(k_, pos);
        return true;
    }
    CIndexNode node = std::move(at.leaf);
    int p = at.entry;
    int level = static_cast<int>(at.path.size()) - 1;
    std::vector<uint8_t> entryKey(value, value + w);
    int32_t word = record, left = -1, right = -1;
    for (;;) {
        const int n = node.count;
        if (p < 0 || p > n)
            return Damaged("insert position " + std::to_string(p) + " in a node of " + std::to_string(n));
        for (int i = n; i > p; --i) {
            node.child[i] = node.child[i - 1];
            node.record[i] = node.record[i - 1];
            std::memcpy(node.Key(i), node.Key(i - 1), w);
        }
        std::memcpy(node.Key(p), entryKey.data(), w);
        node.record[p] = word;
        node.child[p] = left;
        if (right != -1) node.child[p + 1] = right;
        node.count = n + 1;
        if (node.count <= NODE_ENTRIES) return WriteTracked(node);

        // Split: the new node goes to the end of the file and takes the upper 101 entries.
        int32_t highPos;
        if (!EndOfFile(level > 0 ? size : 2 * static_cast<int64_t>(size), highPos)) return false;
        CIndexNode high;
        high.Init(key_, highPos);
        for (int i = kKeepOnSplit; i < NODE_SLOTS; ++i) {
            const int j = i - kKeepOnSplit;
            high.child[j] = node.child[i];
            high.record[j] = node.record[i];
            std::memcpy(high.Key(j), node.Key(i), w);
        }
        high.count = NODE_SLOTS - kKeepOnSplit;
        node.count = kKeepOnSplit;
        node.ClearSlots(kKeepOnSplit);
        high.parent = node.parent;
        if (high.IsLeaf()) {
            // Only leaves are chained; the links of internal nodes are another writer's to fill.
            high.prev = node.self;
            high.next = node.next;
            if (node.next != -1 && !Relink(node.next, node.self, highPos)) return false;
            node.next = highPos;
        } else {
            for (int j = 0; j < high.count; ++j) {
                if (!Reparent(high.child[j], highPos)) return false;
            }
        }
        entryKey.assign(node.Key(kKeepOnSplit - 1), node.Key(kKeepOnSplit - 1) + w);
        word = node.record[kKeepOnSplit - 1];

        if (level == 0) {
            // The root split: a new root above both halves, holding their largest keys.
            const int32_t rootPos = highPos + size;
            CIndexNode root;
            root.Init(key_, rootPos);
            root.count = 2;
            std::memcpy(root.Key(0), entryKey.data(), w);
            std::memcpy(root.Key(1), high.Key(high.count - 1), w);
            root.child[0] = node.self;
            root.child[1] = highPos;
            node.parent = high.parent = rootPos;
            if (!WriteTracked(high) || !WriteTracked(node) || !WriteNode(file_, key_, root, error_)) return false;
            header_.SetRoot(k_, rootPos);
            return true;
        }
        if (!WriteTracked(high) || !WriteTracked(node)) return false;
        CIndexNode parent;
        const int32_t parentPos = at.path[static_cast<size_t>(level) - 1];
        if (!ReadNode(file_, key_, parentPos, parent, error_)) return false;
        int q = 0;
        while (q < parent.count && parent.child[q] != node.self) ++q;
        if (q == parent.count) return Damaged("node " + std::to_string(node.self) + " is not a child of its parent");
        left = node.self;
        right = highPos;
        node = std::move(parent);
        p = q;
        --level;
    }
}

bool CIndexTree::AllocChainNode(const CChainNode& content, int32_t& pos) {
    const int32_t head = header_.FreeChainNodes();
    if (head > 0) {
        uint8_t link[4];
        if (head < HEADER_SIZE || head > file_.Size() - CHAIN_NODE_SIZE || !file_.ReadAt(head, link, 4))
            return Damaged("the free chain node list points at " + std::to_string(head));
        const int32_t next = GetInt32(link);
        header_.SetFreeChainNodes(next > 0 ? next : -1);
        pos = head;
    } else if (!EndOfFile(CHAIN_NODE_SIZE, pos)) {
        return false;
    }
    return WriteChainNode(file_, pos, content, error_);
}

bool CIndexTree::FreeChainNode(int32_t pos) {
    uint8_t link[4];
    PutInt32(link, header_.FreeChainNodes());
    if (!file_.WriteAt(pos, link, sizeof link)) {
        error_ = file_.Error();
        return false;
    }
    header_.SetFreeChainNodes(pos);
    return true;
}

bool CIndexTree::LinkChainNode(CIndexNode& leaf, int entry, int32_t prev, int32_t next, int32_t record) {
    const int32_t headPos = leaf.record[entry];
    int32_t pos;
    if (prev == -1) {
        // The record becomes the new head, in front of the old one.
        CChainNode oldHead;
        if (next != headPos) return Damaged("chain place lost");
        if (!ReadChainNode(file_, next, oldHead, error_)) return false;
        const int32_t last = oldHead.last == -1 || oldHead.last == next ? next : oldHead.last;
        if (!AllocChainNode({record, next, -1, last}, pos)) return false;
        oldHead.prev = pos;
        oldHead.last = -1;
        if (!WriteChainNode(file_, next, oldHead, error_)) return false;
        leaf.record[entry] = pos;
        return WriteNode(file_, key_, leaf, error_);
    }
    CChainNode before;
    if (!ReadChainNode(file_, prev, before, error_)) return false;
    if (before.next != next)
        return Damaged("chain node " + std::to_string(prev) + " does not lead to " + std::to_string(next));
    if (!AllocChainNode({record, next, prev, -1}, pos)) return false;
    before.next = pos;
    if (next != -1) {
        CChainNode after;
        if (!ReadChainNode(file_, next, after, error_)) return false;
        after.prev = pos;
        return WriteChainNode(file_, next, after, error_) && WriteChainNode(file_, prev, before, error_);
    }
    if (prev == headPos) {
        before.last = pos;
        return WriteChainNode(file_, prev, before, error_);
    }
    CChainNode head;
    if (!ReadChainNode(file_, headPos, head, error_)) return false;
    head.last = pos;
    return WriteChainNode(file_, prev, before, error_) && WriteChainNode(file_, headPos, head, error_);
}

bool CIndexTree::UnlinkChainNode(CIndexNode& leaf, int entry, int32_t pos, const CChainNode& node) {
    const int32_t headPos = leaf.record[entry];
    if (node.prev == -1) {
        if (pos != headPos) return Damaged("chain node " + std::to_string(pos) + " claims to be a head");
        if (node.next == -1) {
            leaf.record[entry] = -1;
            return WriteNode(file_, key_, leaf, error_);
        }
        // The successor becomes the head and takes over the last-node word.
        CChainNode succ;
        if (!ReadChainNode(file_, node.next, succ, error_)) return false;
        succ.prev = -1;
        succ.last = node.last == -1 || node.last == node.next ? node.next : node.last;
        if (!WriteChainNode(file_, node.next, succ, error_)) return false;
        leaf.record[entry] = node.next;
        return WriteNode(file_, key_, leaf, error_);
    }
    CChainNode before;
    if (!ReadChainNode(file_, node.prev, before, error_)) return false;
    if (before.next != pos)
        return Damaged("chain node " + std::to_string(node.prev) + " does not lead to " + std::to_string(pos));
    before.next = node.next;
    if (node.next != -1) {
        CChainNode after;
        if (!ReadChainNode(file_, node.next, after, error_)) return false;
        after.prev = node.prev;
        return WriteChainNode(file_, node.next, after, error_) && WriteChainNode(file_, node.prev, before, error_);
    }
    if (node.prev == headPos) {
        before.last = headPos;
        return WriteChainNode(file_, node.prev, before, error_);
    }
    CChainNode head;
    if (!ReadChainNode(file_, headPos, head, error_)) return false;
    head.last = node.prev;
    return WriteChainNode(file_, node.prev, before, error_) && WriteChainNode(file_, headPos, head, error_);
}

bool CIndexTree::AddToEntry(CSearchResult& at, int32_t record, const CChainPlace* keepAt) {
    CIndexNode& leaf = at.leaf;
    const int e = at.entry;
    const int32_t word = leaf.record[e];
    if (word == -1) {
        leaf.record[e] = record;
        return WriteNode(file_, key_, leaf, error_);
    }
    if (!IsChainNode(file_, word)) {
        // A second record with this value: the entry gets a chain of two.
        int32_t head, second;
        if (!AllocChainNode({word, -1, -1, -1}, head) || !AllocChainNode({record, -1, head, -1}, second) ||
            !WriteChainNode(file_, head, {word, second, -1, second}, error_))
            return false;
        leaf.record[e] = head;
        return WriteNode(file_, key_, leaf, error_);
    }
    if (keepAt && keepAt->leaf == leaf.self && keepAt->entry == e)
        return LinkChainNode(leaf, e, keepAt->prev, keepAt->next, record);
    CChainNode head;
    if (!ReadChainNode(file_, word, head, error_)) return false;
    const int32_t last = head.last == -1 || head.last == word ? word : head.last;
    return LinkChainNode(leaf, e, last, -1, record);
}

bool CIndexTree::Remove(const uint8_t* value, int32_t record, int32_t hint, CChainPlace* removedAt) {
    CSearchResult r;
    if (!Search(value, false, r)) return false;
    if (!r.found || r.word == -1) return Damaged("no entry for the record at " + std::to_string(record));
    CIndexNode& leaf = r.leaf;
    if (r.word == record) {
        leaf.record[r.entry] = -1;
        if (removedAt) *removedAt = {leaf.self, r.entry, -1, -1};
        return WriteNode(file_, key_, leaf, error_);
    }
    if (key_.IsUnique() || !IsChainNode(file_, r.word))
        return Damaged("the entry of the record at " + std::to_string(record) + " holds " + std::to_string(r.word));
    CChainNode node;
    int32_t pos = -1;
    std::string ignored;
    if (hint != -1 && ReadChainNode(file_, hint, node, ignored) && node.record == record) {
        pos = hint;
    } else {
        int32_t at = r.word;
        for (int64_t i = 0; at != -1 && pos == -1; ++i) {
            if (i == MaxChainLength()) return Damaged("the chain at " + std::to_string(r.word) + " loops");
            if (!ReadChainNode(file_, at, node, error_)) return false;
            if (node.record == record)
                pos = at;
            else
                at = node.next;
        }
        if (pos == -1)
            return Damaged("the chain at " + std::to_string(r.word) + " lacks the record at " + std::to_string(record));
    }
    if (removedAt) *removedAt = {leaf.self, r.entry, node.prev, node.next};
    return UnlinkChainNode(leaf, r.entry, pos, node) && FreeChainNode(pos);
}

bool CIndexTree::ReadCached(int32_t pos, CNodeCache& cache) {
    if (cache.pos == pos) return true;
    cache.pos = -1;
    if (!ReadNodeFixed(file_, pos, cache.node, error_)) return false;
    if (!cache.node.IsLeaf()) return Damaged("the leaf chain reaches the internal node at " + std::to_string(pos));
    cache.pos = pos;
    return true;
}

bool CIndexTree::FindLive(int32_t leaf, int entry, bool forward, CNodeCache& cache, CLiveEntry& live) {
    live = CLiveEntry{};
    const int step = forward ? 1 : -1;
    const int64_t maxLeaves = file_.Size() / key_.NodeSize() + 1;
    for (int64_t steps = 0; steps < maxLeaves; ++steps) {
        if (!ReadCached(leaf, cache)) return false;
        const CIndexNode& n = cache.node;
        if (!forward && (entry < 0 || entry >= n.count)) entry = n.count - 1;
        for (int e = entry; e >= 0 && e < n.count; e += step) {
            if (n.record[e] != -1) {
                live = {true, leaf, e, n.record[e]};
                return true;
            }
        }
        const int32_t to = forward ? n.next : n.prev;
        if (to == -1) return true;
        const int32_t from = leaf;
        leaf = to;
        entry = forward ? 0 : -1;
        if (!ReadCached(leaf, cache)) return false;
        if ((forward ? cache.node.prev : cache.node.next) != from)
            return Damaged("the leaf at " + std::to_string(leaf) + " does not link " + (forward ? "back" : "on") +
                           " to " + std::to_string(from));
    }
    return Damaged("the leaf chain loops");
}

}  // namespace tw
