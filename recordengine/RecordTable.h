// CRecordTable: one table file of the record engine, opened by one object at a time.
//
// A table holds a header (TableHeader.h), records (RecordLayout.h) and one index tree per key
// (IndexTree.h), all in one file. The object keeps the header image, a current-record buffer filled by the
// positioning operations, an edit buffer that SetField* fill and AppendRecord/UpdateRecord store, and
// one cursor per key.
//
// Use: CreateField/CreateKey, then Create; or Open; then Seek/SeekKey/MoveFirst/MoveLast/MoveNext, read
// with GetField*, change with SetField* and AppendRecord/UpdateRecord/DeleteRecord; then Close.
//
// Every operation returns false (or its failure value) with GetErrorText() telling why, and leaves the
// table as it was: each change (append, update, delete) is written with its header before it returns,
// all-or-nothing, also across a crash of the process (see TableFile.h).
//
// Open holds an advisory lock until Close: shared for OpenMode::Read, exclusive for ReadWrite (and
// Create). Locks belong to the open file, so two objects exclude each other as two processes do. A lock
// not granted within the lock timeout (5 s) fails Open. An object is used by one thread at a time.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "recordengine/IndexKey.h"
#include "recordengine/IndexTree.h"
#include "recordengine/RecordLayout.h"
#include "recordengine/TableFile.h"
#include "recordengine/TableHeader.h"

namespace tw {

enum class OpenMode { Read, ReadWrite };

class CRecordTable {
public:
    CRecordTable();
    ~CRecordTable();
    CRecordTable(const CRecordTable&) = delete;
    CRecordTable& operator=(const CRecordTable&) = delete;

    // Definitions, before Create. width is used for FT_STRING (1..1024) only. An FT_AUTOINC field gets a
    // KEY_UNIQUE key of its own name.
    bool CreateField(const std::string& name, int type, int width = 0);
    // A one-field key. caseMode (1 exact, 2 ignoring case), start and length apply to string fields.
    bool CreateKey(const std::string& name, int kind, int field, int caseMode = 1, int start = 0, int length = -1);
    // Creates or empties the file and leaves the new table open for reading and writing.
    bool Create(const std::string& fileName, const std::string& title);
    bool Open(const std::string& fileName, OpenMode mode);
    // Closes the file and forgets everything, definitions included. Always safe.
    void Close();

    // record/length: an optional caller buffer in the record-image layout; length 0 means the record length.
    // An FT_AUTOINC field gets one more than its largest value (by its own key; without one, its value in
    // the last record in key-0 order).
    bool AppendRecord(void* record = nullptr, int length = 0);
    // A failed update leaves the old record current and copies it into the edit buffer again.
    bool UpdateRecord(void* record = nullptr, int length = 0);
    bool DeleteRecord();

    // value: int16, int32, float, double or byte by the key's type; a NUL-terminated text for string keys;
    // the key bytes for keys of several fields.
    bool Seek(const std::string& keyName, const void* value, void* record = nullptr, int length = 0);
    bool SeekKey(int key, const void* value, void* record = nullptr, int length = 0);
    bool MoveFirst(int key, void* record = nullptr, int length = 0);
    bool MoveLast(int key, void* record = nullptr, int length = 0);
    bool MoveNext(int key, void* record = nullptr, int length = 0);

    int GetRecordCount() const;
    int GetFieldCount() const { return header_.FieldCount(); }
    int GetKeyCount() const { return open_ ? header_.KeyCount() : 0; }
    int GetFieldType(int field) const;
    std::string GetFieldName(int field) const;
    int GetFieldIndex(const std::string& name) const;
    bool GetFieldValue(void* out, int field);
    bool GetFieldValue(void* out, const std::string& name) { return GetFieldValue(out, GetFieldIndex(name)); }
    bool SetFieldValue(const void* value, int field);
    bool SetFieldValue(const void* value, const std::string& name) { return SetFieldValue(value, GetFieldIndex(name)); }
    std::string GetFieldText(int field);
    std::string GetFieldText(const std::string& name) { return GetFieldText(GetFieldIndex(name)); }
    bool SetFieldText(const std::string& text, int field);
    bool SetFieldText(const std::string& text, const std::string& name) {
        return SetFieldText(text, GetFieldIndex(name));
    }
    std::string GetTitle() const { return header_.Title(); }
    // Field 0 of the last record in key-0 order, 0 when there is none: the id a new record got.
    int GetLastId();
    const std::string& GetErrorText() const { return error_; }

    // The header image, for tools that show the definitions.
    const CTableHeader& GetHeader() const { return header_; }
    void SetLockTimeout(int milliseconds) { lockTimeoutMs_ = milliseconds; }

private:
    struct Cursor {
        int32_t node = -1;
        int entry = -1;
        int32_t record = -1;
        int32_t chainPos = -1;  // the chain node of the current record, -1 when not in a chain
        CChainNode chain;
        int64_t steps = 0;  // MoveNext calls since the cursor was placed; bounds a looping walk
    };

    bool Fail(const std::string& text);
    void LoadDefinitions();
    CIndexTree Tree(int key);
    bool CanChange();
    void BeginChange();
    bool FinishChange(bool ok);
    bool HasCurrent() const;
    int KeyIndex(const std::string& name) const;
    const uint8_t* FieldIn(const std::vector<uint8_t>& image, int field) const;

    bool DoAppend(void* record, int length);
    bool DoDelete();
    bool StoreRecord(const std::vector<uint8_t>& image, int32_t& pos);
    bool TakeRecordSpace(int needed, int32_t& pos);
    bool ReleaseRecordSpace(int32_t pos);
    bool ReleaseMemos();

    bool Edge(int key, bool last, Cursor& cursor, bool& found);
    bool EnterEntry(int key, const CLiveEntry& live, bool chainLast, Cursor& cursor);
    bool ReadCurrent(int key, const Cursor& cursor, void* record, int length);
    // The last record in the order of a key.
    bool LastRecord(int key, std::vector<uint8_t>& image, bool& found);
    // The first key made of the field alone, where its largest value is last; key 0 when there is none.
    int ValueKey(int field) const;

    bool open_ = false;
    bool indexAvailable_ = false;
    bool updating_ = false;
    int lockTimeoutMs_ = 5000;
    CTableFile file_;
    CTableHeader header_;
    CRecordLayout layout_;
    std::vector<CIndexKey> keys_;
    std::vector<uint8_t> current_;
    std::vector<uint8_t> edit_;
    int currentKey_ = -1;
    Cursor cursors_[MAX_KEYS];
    CNodeCache cache_;
    std::bitset<MAX_FIELDS> memoSet_;
    CChainPlace removedAt_[MAX_KEYS];  // where the running update took each key's entry out

    // State restored when a change fails.
    CTableHeader savedHeader_;
    Cursor savedCursors_[MAX_KEYS];

    std::string error_;
};

}  // namespace tw
