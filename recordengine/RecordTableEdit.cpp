// CRecordTable: appending, updating and deleting records, and the space they take.
#include "recordengine/RecordTable.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace tw {

namespace {

constexpr int kMinFreeBlock = 6;     // room for the length word and the link
constexpr int kFreeBlocksTried = 3;  // first fit among the first three free blocks
constexpr int kMaxMemoLinks = 1000;
constexpr int kMemoBlockHeader = 8;

}  // namespace

bool CRecordTable::CanChange() {
    if (!open_) return false;
    if (!file_.IsWritable()) return Fail("the table is open for reading only");
    if (header_.KeyCount() == 0) return Fail("key not found");
    return true;
}

void CRecordTable::BeginChange() {
    savedHeader_ = header_;
    std::copy(std::begin(cursors_), std::end(cursors_), std::begin(savedCursors_));
    for (CChainPlace& p : removedAt_) p = CChainPlace{};
    cache_.pos = -1;
}

bool CRecordTable::FinishChange(bool ok) {
    cache_.pos = -1;
    if (ok) {
        // Definitions never change once created; the rest of the header goes back with every change.
        const uint8_t* h = header_.Data();
        const int* count = CTableHeader::kCountRange;
        const int* trees = CTableHeader::kTreeRange;
        if (file_.WriteAt(count[0], h + count[0], static_cast<size_t>(count[1] - count[0])) &&
            file_.WriteAt(trees[0], h + trees[0], static_cast<size_t>(trees[1] - trees[0])) && file_.Commit())
            return true;
        error_ = file_.Error();
    }
    // Undo every byte the change wrote; a failed undo leaves the journal for the next Open.
    if (!file_.Rollback()) error_ += "; " + file_.Error();
    header_ = savedHeader_;
    std::copy(std::begin(savedCursors_), std::end(savedCursors_), std::begin(cursors_));
    return false;
}

bool CRecordTable::AppendRecord(void* record, int length) {
    if (!CanChange()) return false;
    BeginChange();
    return FinishChange(DoAppend(record, length));
}

bool CRecordTable::UpdateRecord(void* record, int length) {
    if (!open_ || header_.Count() == 0) return false;
    if (!CanChange()) return false;
    if (currentKey_ < 0) return Fail("current key invalid");
    if (cursors_[currentKey_].record == -1) return Fail("no current record");
    BeginChange();
    const std::bitset<MAX_FIELDS> memoBefore = memoSet_;
    memoSet_.set();
    updating_ = true;
    // Delete and append again; a collision of a unique key undoes both.
    const bool ok = DoDelete() && DoAppend(record, length);
    updating_ = false;
    if (FinishChange(ok)) return true;
    // The old record stays current, and the edit buffer holds it again.
    memoSet_ = memoBefore;
    edit_ = current_;
    return false;
}

bool CRecordTable::DeleteRecord() {
    if (!open_ || header_.Count() == 0) return false;
    if (!file_.IsWritable()) return Fail("the table is open for reading only");
    if (currentKey_ < 0) return Fail("Can't locate a record  ");
    if (header_.KeyCount() == 0) return Fail("key not found");
    if (cursors_[currentKey_].record == -1) return Fail("no current record");
    BeginChange();
    return FinishChange(DoDelete());
}

bool CRecordTable::DoAppend(void* record, int length) {
    const size_t len = static_cast<size_t>(layout_.Length());
    std::vector<uint8_t> image(edit_);
    size_t given = 0;
    if (record) {
        given = length > 0 ? std::min(static_cast<size_t>(length), len) : len;
        image.assign(len, 0);
        std::memcpy(image.data(), record, given);
    }
    for (int f = 0; f < layout_.FieldCount(); ++f) {
        const CFieldInfo& field = layout_.Field(f);
        if (field.type == FT_AUTOINC && !updating_) {
            std::vector<uint8_t> last(len);
            bool found = false;
            if (!LastRecord(ValueKey(f), last, found)) return false;
            int32_t id = 0;
            if (found) std::memcpy(&id, last.data() + field.offset, sizeof id);
            if (id == INT32_MAX) return Fail("AutoInc value overflow");
            id = found ? id + 1 : 1;
            std::memcpy(image.data() + field.offset, &id, sizeof id);
            if (record && given >= static_cast<size_t>(field.offset) + sizeof id)
                std::memcpy(static_cast<uint8_t*>(record) + field.offset, &id, sizeof id);
        }
        if (field.type == FT_MEMO && !memoSet_[static_cast<size_t>(f)])
            std::memset(image.data() + field.offset, 0, static_cast<size_t>(field.width));
    }
    memoSet_.reset();

    const int keys = header_.KeyCount();
    std::vector<std::vector<uint8_t>> values(static_cast<size_t>(keys));
    std::vector<CSearchResult> found(static_cast<size_t>(keys));
    for (int k = 0; k < keys; ++k) {
        const CIndexKey& key = keys_[static_cast<size_t>(k)];
        std::vector<uint8_t>& v = values[static_cast<size_t>(k)];
        CSearchResult& r = found[static_cast<size_t>(k)];
        v.resize(static_cast<size_t>(key.SlotWidth()));
        key.Build(image.data(), v.data());
        if (!Tree(k).Search(v.data(), false, r)) return false;
        if (r.found && r.word != -1 && key.IsUnique()) return Fail("the key is unduplicated");
    }
    int32_t pos;
    if (!StoreRecord(image, pos)) return false;
    for (int k = 0; k < keys; ++k) {
        CIndexTree tree = Tree(k);
        const uint8_t* v = values[static_cast<size_t>(k)].data();
        CSearchResult& r = found[static_cast<size_t>(k)];
        if (r.found) {
            if (!tree.AddToEntry(r, pos, updating_ ? &removedAt_[k] : nullptr)) return false;
            continue;
        }
        // A value above every key raises the internal keys on its path before it goes in.
        if (r.pastEnd && !tree.Search(v, true, r)) return false;
        if (!tree.Insert(v, pos, r)) return false;
    }
    header_.SetCount(header_.Count() + 1);
    std::fill(edit_.begin(), edit_.end(), 0);
    return true;
}

bool CRecordTable::DoDelete() {
    const int32_t pos = cursors_[currentKey_].record;
    std::vector<uint8_t> value;
    for (int k = 0; k < header_.KeyCount(); ++k) {
        const CIndexKey& key = keys_[static_cast<size_t>(k)];
        value.assign(static_cast<size_t>(key.SlotWidth()), 0);
        key.Build(current_.data(), value.data());
        const int32_t hint = k == currentKey_ ? cursors_[k].chainPos : -1;
        if (!Tree(k).Remove(value.data(), pos, hint, &removedAt_[k])) return false;
    }
    header_.SetCount(header_.Count() - 1);
    if (!ReleaseMemos() || !ReleaseRecordSpace(pos)) return false;
    // The node and entry stay, so that MoveNext goes on after the deleted record.
    cursors_[currentKey_].record = -1;
    return true;
}

bool CRecordTable::StoreRecord(const std::vector<uint8_t>& image, int32_t& pos) {
    if (layout_.Format() == FORMAT_FIXED) {
        return TakeRecordSpace(layout_.Length(), pos) &&
               (file_.WriteAt(pos, image.data(), image.size()) || Fail(file_.Error()));
    }
    std::vector<uint8_t> packed(static_cast<size_t>(layout_.MaxPacked()));
    const int n = layout_.Pack(image.data(), packed.data());
    if (n > UINT16_MAX) return Fail("the record is too long to be stored packed (" + std::to_string(n) + " bytes)");
    return TakeRecordSpace(n, pos) &&
           (file_.WriteAt(pos, packed.data(), static_cast<size_t>(n)) || Fail(file_.Error()));
}

bool CRecordTable::TakeRecordSpace(int needed, int32_t& pos) {
    const int64_t size = file_.Size();
    int32_t at = header_.FreeRecords();
    if (layout_.Format() == FORMAT_FIXED) {
        uint8_t link[4];
        if (needed >= 4 && at >= HEADER_SIZE && at <= size - needed && file_.ReadAt(at, link, sizeof link)) {
            const int32_t next = GetInt32(link);
            header_.SetFreeRecords(next > 0 ? next : -1);
            pos = at;
            return true;
        }
    } else {
        int32_t prev = -1;
        // A link that leaves the file is not followed: the record goes to the end instead.
        for (int i = 0; i < kFreeBlocksTried && at >= HEADER_SIZE && at <= size - kMinFreeBlock; ++i) {
            uint8_t block[kMinFreeBlock];
            if (!file_.ReadAt(at, block, sizeof block)) return Fail(file_.Error());
            const int blockSize = block[0] | block[1] << 8;
            const int32_t next = GetInt32(block + 2);
            if (blockSize >= needed && at <= size - blockSize) {
                if (prev == -1) {
                    header_.SetFreeRecords(next > 0 ? next : -1);
                } else if (!file_.WriteAt(prev + 2, block + 2, 4)) {
                    return Fail(file_.Error());
                }
                pos = at;
                return true;
            }
            prev = at;
            at = next;
        }
    }
    return file_.EndPosition(needed, pos) || Fail(file_.Error());
}

bool CRecordTable::ReleaseRecordSpace(int32_t pos) {
    uint8_t link[4];
    PutInt32(link, header_.FreeRecords());
    int32_t linkAt = pos;
    if (layout_.Format() == FORMAT_FIXED) {
        if (layout_.Length() < 4) return true;
    } else {
        uint8_t size[2];
        if (!file_.ReadAt(pos, size, sizeof size)) return Fail(file_.Error());
        if ((size[0] | size[1] << 8) < kMinFreeBlock) return true;  // too small to hold a link: the space is lost
        linkAt = pos + 2;
    }
    if (!file_.WriteAt(linkAt, link, sizeof link)) return Fail(file_.Error());
    header_.SetFreeRecords(pos);
    return true;
}

bool CRecordTable::ReleaseMemos() {
    for (int f = 0; f < layout_.FieldCount(); ++f) {
        const CFieldInfo& field = layout_.Field(f);
        if (field.type != FT_MEMO) continue;
        const int32_t first = GetInt32(current_.data() + field.offset);
        if (first <= 0 || (memoSet_[static_cast<size_t>(f)] &&
                           std::memcmp(current_.data() + field.offset, edit_.data() + field.offset, 8) == 0))
            continue;
        int32_t at = first, last = -1;
        for (int links = 0; at > 0; ++links) {
            uint8_t link[4];
            if (links == kMaxMemoLinks)
                return Fail("memo chain longer than " + std::to_string(kMaxMemoLinks) + " blocks");
            if (at < HEADER_SIZE || at > file_.Size() - kMemoBlockHeader || !file_.ReadAt(at, link, sizeof link))
                return Fail("memo chain damaged at " + std::to_string(at));
            last = at;
            at = GetInt32(link);
        }
        uint8_t head[4];
        PutInt32(head, header_.FreeMemos());
        if (!file_.WriteAt(last, head, sizeof head)) return Fail(file_.Error());
        header_.SetFreeMemos(first);
    }
    return true;
}

}  // namespace tw
