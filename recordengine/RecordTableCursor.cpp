// CRecordTable: exact lookups and key-ordered navigation, and reading the record reached.
#include "recordengine/RecordTable.h"

#include <algorithm>
#include <cstring>

namespace tw {

bool CRecordTable::EnterEntry(int key, const CLiveEntry& live, bool chainLast, Cursor& cursor) {
    cursor = Cursor{live.leaf, live.entry, live.word, -1, CChainNode{}, 0};
    if (keys_[static_cast<size_t>(key)].IsUnique() || !IsChainNode(file_, live.word)) return true;
    CChainNode head;
    if (!ReadChainNode(file_, live.word, head, error_)) return false;
    if (head.prev != -1) return Fail("the chain head at " + std::to_string(live.word) + " has a predecessor");
    cursor.chainPos = live.word;
    cursor.chain = head;
    if (chainLast && head.last != -1 && head.last != live.word) {
        cursor.chainPos = head.last;
        if (!ReadChainNode(file_, head.last, cursor.chain, error_)) return false;
    }
    cursor.record = cursor.chain.record;
    return true;
}

bool CRecordTable::ReadCurrent(int key, const Cursor& cursor, void* record, int length) {
    std::vector<uint8_t> image(current_.size());
    int diskLength = 0;
    if (!layout_.Read(file_, cursor.record, image.data(), diskLength, error_)) return false;
    current_.swap(image);
    cursors_[key] = cursor;
    currentKey_ = key;
    if (!updating_) edit_ = current_;
    if (record) {
        const size_t n = length > 0 ? std::min(static_cast<size_t>(length), current_.size()) : current_.size();
        std::memcpy(record, current_.data(), n);
    }
    return true;
}

bool CRecordTable::Edge(int key, bool last, Cursor& cursor, bool& found) {
    found = false;
    const int32_t leaf = last ? header_.LastLeaf(key) : header_.FirstLeaf(key);
    if (leaf == -1) return true;
    CLiveEntry live;
    CIndexTree tree = Tree(key);
    if (!tree.FindLive(leaf, last ? -1 : 0, !last, cache_, live)) return false;
    found = live.found;
    return !found || EnterEntry(key, live, last, cursor);
}

bool CRecordTable::LastRecord(int key, std::vector<uint8_t>& image, bool& found) {
    found = false;
    Cursor cursor;
    int diskLength = 0;
    if (header_.KeyCount() == 0 || header_.Count() == 0) return true;
    return Edge(key, true, cursor, found) &&
           (!found || layout_.Read(file_, cursor.record, image.data(), diskLength, error_));
}

int CRecordTable::ValueKey(int field) const {
    for (int k = 0; k < header_.KeyCount(); ++k) {
        if (header_.KeyParts(k) == 1 && header_.KeyPartField(k, 0) == field) return k;
    }
    return 0;
}

bool CRecordTable::Seek(const std::string& keyName, const void* value, void* record, int length) {
    const int key = KeyIndex(keyName);
    return key >= 0 && SeekKey(key, value, record, length);
}

bool CRecordTable::SeekKey(int key, const void* value, void* record, int length) {
    if (!open_ || key < 0 || key >= header_.KeyCount() || header_.Count() == 0 || !value) return false;
    const CIndexKey& def = keys_[static_cast<size_t>(key)];
    std::vector<uint8_t> v(static_cast<size_t>(def.SlotWidth()), 0);
    if (def.IsOneText()) {
        const size_t n = strnlen(static_cast<const char*>(value), static_cast<size_t>(def.TextLength()) + 1);
        if (n > static_cast<size_t>(def.TextLength())) return false;  // longer than the key: no entry can hold it
        std::memcpy(v.data(), value, n);
    } else {
        std::memcpy(v.data(), value, static_cast<size_t>(def.IsText() ? def.TextLength() : def.SlotWidth()));
    }
    CSearchResult r;
    if (!Tree(key).Search(v.data(), false, r) || !r.found || r.word == -1) return false;
    Cursor cursor;
    return EnterEntry(key, CLiveEntry{true, r.leaf.self, r.entry, r.word}, false, cursor) &&
           ReadCurrent(key, cursor, record, length);
}

bool CRecordTable::MoveFirst(int key, void* record, int length) {
    if (!open_ || header_.Count() == 0 || key < 0 || key >= header_.KeyCount()) return false;
    Cursor cursor;
    bool found = false;
    return Edge(key, false, cursor, found) && found && ReadCurrent(key, cursor, record, length);
}

bool CRecordTable::MoveLast(int key, void* record, int length) {
    if (!open_ || header_.Count() == 0 || key < 0 || key >= header_.KeyCount()) return false;
    Cursor cursor;
    bool found = false;
    return Edge(key, true, cursor, found) && found && ReadCurrent(key, cursor, record, length);
}

bool CRecordTable::MoveNext(int key, void* record, int length) {
    if (!open_ || header_.Count() == 0 || key < 0 || key >= header_.KeyCount() || cursors_[key].node == -1)
        return false;
    Cursor cursor = cursors_[key];
    // Every step of a sound walk yields another record position, so a walk longer than the file loops.
    if (++cursor.steps > file_.Size()) return Fail("the walk of key " + std::to_string(key) + " loops");
    if (cursor.chainPos != -1 && cursor.chain.next != -1) {
        const int32_t from = cursor.chainPos;
        cursor.chainPos = cursor.chain.next;
        if (!ReadChainNode(file_, cursor.chainPos, cursor.chain, error_)) return false;
        if (cursor.chain.prev != from)
            return Fail("the chain node at " + std::to_string(cursor.chainPos) + " does not link back");
        cursor.record = cursor.chain.record;
        return ReadCurrent(key, cursor, record, length);
    }
    if (key != currentKey_) cache_.pos = -1;
    CLiveEntry live;
    if (!Tree(key).FindLive(cursor.node, cursor.entry + 1, true, cache_, live) || !live.found) return false;
    const int64_t steps = cursor.steps;
    if (!EnterEntry(key, live, false, cursor)) return false;
    cursor.steps = steps;
    return ReadCurrent(key, cursor, record, length);
}

}  // namespace tw
