// CRecordTable: definitions, creating, opening and closing, and field access.
#include "recordengine/RecordTable.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/Text.h"

namespace tw {

namespace {

// Without leading and trailing spaces; unlike Trim in Text.h it keeps tabs and line ends, as stored names
// are compared.
std::string TrimSpaces(const std::string& s) {
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

bool SameName(const std::string& a, const std::string& b) { return EqualsNoCase(TrimSpaces(a), TrimSpaces(b)); }

// The leading decimal integer of a text (0 when there is none), held within [lo, hi].
int64_t LeadingInteger(const std::string& text, int64_t lo, int64_t hi) {
    return std::clamp(LeadingDecimal(text, kAsciiSpace), lo, hi);
}

template <typename T>
T Load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void Store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

}  // namespace

CRecordTable::CRecordTable() { Close(); }

CRecordTable::~CRecordTable() { Close(); }

bool CRecordTable::Fail(const std::string& text) {
    error_ = text;
    return false;
}

CIndexTree CRecordTable::Tree(int key) {
    return CIndexTree(file_, header_, key, keys_[static_cast<size_t>(key)], error_);
}

bool CRecordTable::CreateField(const std::string& name, int type, int width) {
    if (open_) return Fail("must do before create db");
    int count = header_.FieldCount();
    if (count == MAX_FIELDS) {
        header_.SetFieldCount(0);
        return Fail("Field count must less than " + std::to_string(MAX_FIELDS) + "  ");
    }
    const std::string trimmed = TrimSpaces(name);
    for (int f = 0; f < count; ++f) {
        if (SameName(header_.FieldName(f), trimmed)) return Fail("The FieldName exist already!");
    }
    if (type != FT_STRING && TypeWidth(type) == 0) return Fail("field type " + std::to_string(type) + " is unknown");
    if (type == FT_STRING && (width < 1 || width > MAX_STRING_WIDTH))
        return Fail("field length must between 1 and " + std::to_string(MAX_STRING_WIDTH));
    header_.SetFieldName(count, trimmed.substr(0, NAME_LENGTH));
    header_.SetFieldType(count, type);
    header_.SetFieldWidth(count, type == FT_STRING ? width : TypeWidth(type));
    header_.SetFieldCount(++count);
    if (type != FT_AUTOINC) return true;
    int autoIncs = 0;
    for (int f = 0; f < count; ++f) autoIncs += header_.FieldType(f) == FT_AUTOINC;
    if (autoIncs > 1) return Fail("Too many AutoInc fields");
    return CreateKey(trimmed, KEY_UNIQUE, count - 1, 0, 0, -1);
}

bool CRecordTable::CreateKey(const std::string& name, int kind, int field, int caseMode, int start, int length) {
    if (open_) return Fail("must do before create db");
    const int fields = header_.FieldCount();
    if (fields == 0) return Fail("must create field first");
    if (field < 0 || field >= fields) return Fail("FieldNo must less than " + std::to_string(fields));
    const int k = header_.KeyCount();
    if (k == MAX_KEYS) return Fail("key count must less than " + std::to_string(MAX_KEYS) + "  ");
    const std::string trimmed = TrimSpaces(name);
    for (int i = 0; i < k; ++i) {
        if (SameName(header_.KeyName(i), trimmed)) return Fail("The KeyName exist already!");
    }
    if (kind != KEY_DUP && kind != KEY_UNIQUE) return Fail("key kind must be KEY_DUP or KEY_UNIQUE");
    const int type = header_.FieldType(field);
    if (type == FT_MEMO) return Fail("This field can't be key!");
    header_.SetKeyName(k, trimmed.substr(0, NAME_LENGTH));
    header_.SetKeyKind(k, kind);
    header_.SetKeyPartField(k, 0, field);
    if (type == FT_STRING) {
        const int width = header_.FieldWidth(field);
        if (start < 0 || start >= width) start = 0;
        if (length < 1 || length > MAX_KEY_LENGTH) length = std::min(width, MAX_KEY_LENGTH);
        // The key must stay inside its field, or it would take bytes of the fields after it.
        length = std::min(length, width - start);
        header_.SetKeyPartCase(k, 0, caseMode == 1 || caseMode == 2 ? caseMode : 1);
        header_.SetKeyPartStart(k, 0, start);
        header_.SetKeyPartLength(k, 0, length);
    } else {
        header_.SetKeyPartCase(k, 0, 1);
        header_.SetKeyPartStart(k, 0, 0);
        header_.SetKeyPartLength(k, 0, TypeWidth(type));
    }
    header_.SetKeyPartCount(k, -1);
    header_.SetKeyCount(k + 1);
    return true;
}

void CRecordTable::LoadDefinitions() {
    layout_.Load(header_);
    keys_.assign(static_cast<size_t>(header_.KeyCount()), CIndexKey{});
    for (int k = 0; k < header_.KeyCount(); ++k) keys_[static_cast<size_t>(k)].Load(header_, layout_, k);
    current_.assign(static_cast<size_t>(layout_.Length()), 0);
    edit_.assign(static_cast<size_t>(layout_.Length()), 0);
}

bool CRecordTable::Create(const std::string& fileName, const std::string& title) {
    if (open_) return Fail("must do before create db");
    const FileOpenResult r = file_.Open(fileName, FileAccess::Create, lockTimeoutMs_);
    if (r != FileOpenResult::Ok) return Fail(r == FileOpenResult::LockFailed ? file_.Error() : "can't create file ");
    open_ = true;
    if (header_.KeyCount() == 0) return Fail("Create Index error,please CreateKey first!");
    indexAvailable_ = true;
    header_.InitNew();
    header_.SetTitle(title.substr(0, TITLE_LENGTH));
    int length = 0;
    for (int f = 0; f < header_.FieldCount(); ++f) length += header_.FieldWidth(f);
    header_.SetRecordLength(length);
    if (!file_.WriteAt(0, header_.Data(), HEADER_SIZE) || !file_.Commit()) return Fail(file_.Error());
    LoadDefinitions();
    return true;
}

bool CRecordTable::Open(const std::string& fileName, OpenMode mode) {
    Close();
    const FileOpenResult r =
        file_.Open(fileName, mode == OpenMode::Read ? FileAccess::Read : FileAccess::ReadWrite, lockTimeoutMs_);
    if (r != FileOpenResult::Ok)
        return Fail(r == FileOpenResult::OpenFailed ? "file can't be  opened!" : file_.Error());
    std::string why = "table header is damaged: the file is shorter than a header";
    if (!file_.ReadAt(0, header_.Data(), HEADER_SIZE) || !header_.Validate(why)) {
        Close();
        return Fail(why);
    }
    open_ = true;
    LoadDefinitions();
    if (header_.KeyCount() == 0) return Fail("key not found");
    indexAvailable_ = true;
    return true;
}

void CRecordTable::Close() {
    file_.Close();
    open_ = indexAvailable_ = updating_ = false;
    header_.Clear();
    layout_.Clear();
    keys_.clear();
    current_.clear();
    edit_.clear();
    currentKey_ = -1;
    for (Cursor& c : cursors_) c = Cursor{};
    cache_.pos = -1;
    memoSet_.reset();
}

int CRecordTable::GetRecordCount() const { return open_ ? header_.Count() : -1; }

int CRecordTable::GetFieldType(int field) const {
    return field >= 0 && field < header_.FieldCount() ? header_.FieldType(field) : -1;
}

std::string CRecordTable::GetFieldName(int field) const {
    return field >= 0 && field < header_.FieldCount() ? header_.FieldName(field) : std::string();
}

int CRecordTable::GetFieldIndex(const std::string& name) const {
    for (int f = 0; f < header_.FieldCount(); ++f) {
        if (SameName(header_.FieldName(f), name)) return f;
    }
    return -1;
}

int CRecordTable::KeyIndex(const std::string& name) const {
    for (int k = 0; open_ && k < header_.KeyCount(); ++k) {
        if (SameName(header_.KeyName(k), name)) return k;
    }
    return -1;
}

bool CRecordTable::HasCurrent() const { return open_ && currentKey_ >= 0 && cursors_[currentKey_].record != -1; }

const uint8_t* CRecordTable::FieldIn(const std::vector<uint8_t>& image, int field) const {
    return image.data() + layout_.Field(field).offset;
}

bool CRecordTable::GetFieldValue(void* out, int field) {
    if (!open_ || field < 0 || field >= layout_.FieldCount() || !out) return false;
    if (layout_.Field(field).type == FT_MEMO) return Fail("field invalidation");
    if (!HasCurrent()) return false;
    std::memcpy(out, FieldIn(current_, field), static_cast<size_t>(layout_.Field(field).width));
    return true;
}

bool CRecordTable::SetFieldValue(const void* value, int field) {
    if (!open_ || field < 0 || field >= layout_.FieldCount() || !value) return false;
    const CFieldInfo& f = layout_.Field(field);
    if (f.type == FT_MEMO || f.type == FT_AUTOINC) return Fail("field invalidation");
    uint8_t* dst = edit_.data() + f.offset;
    size_t n = static_cast<size_t>(f.width);
    if (f.type == FT_STRING) {
        n = strnlen(static_cast<const char*>(value), n);
        std::memset(dst, 0, static_cast<size_t>(f.width));
    }
    std::memcpy(dst, value, n);
    return true;
}

std::string CRecordTable::GetFieldText(int field) {
    if (!HasCurrent() || field < 0 || field >= layout_.FieldCount()) return {};
    const CFieldInfo& f = layout_.Field(field);
    const uint8_t* p = FieldIn(current_, field);
    char buf[512];
    switch (f.type) {
        case FT_SHORT: return std::to_string(Load<int16_t>(p));
        case FT_INT:
        case FT_AUTOINC: return std::to_string(Load<int32_t>(p));
        case FT_BYTE: return std::to_string(*p);
        case FT_FLOAT: std::snprintf(buf, sizeof buf, "%.6f", static_cast<double>(Load<float>(p))); return buf;
        case FT_DOUBLE: std::snprintf(buf, sizeof buf, "%.14f", Load<double>(p)); return buf;
        case FT_STRING:
            return std::string(reinterpret_cast<const char*>(p),
                               strnlen(reinterpret_cast<const char*>(p), static_cast<size_t>(f.width)));
        default: return {};
    }
}

bool CRecordTable::SetFieldText(const std::string& text, int field) {
    if (!open_ || field < 0 || field >= layout_.FieldCount()) return false;
    const CFieldInfo& f = layout_.Field(field);
    uint8_t* p = edit_.data() + f.offset;
    switch (f.type) {
        case FT_SHORT: Store<int16_t>(p, static_cast<int16_t>(LeadingInteger(text, INT16_MIN, INT16_MAX))); return true;
        case FT_INT: Store<int32_t>(p, static_cast<int32_t>(LeadingInteger(text, INT32_MIN, INT32_MAX))); return true;
        case FT_BYTE: *p = LeadingInteger(text, INT64_MIN, INT64_MAX) != 0 ? 1 : 0; return true;
        case FT_FLOAT: Store<float>(p, static_cast<float>(std::strtod(text.c_str(), nullptr))); return true;
        case FT_DOUBLE: Store<double>(p, std::strtod(text.c_str(), nullptr)); return true;
        case FT_STRING: return SetFieldValue(text.c_str(), field);
        default: return false;
    }
}

int CRecordTable::GetLastId() {
    std::vector<uint8_t> image(static_cast<size_t>(layout_.Length()));
    bool found = false;
    if (!open_ || layout_.FieldCount() == 0 || !LastRecord(0, image, found) || !found) return 0;
    const uint8_t* p = FieldIn(image, 0);
    switch (layout_.Field(0).type) {
        case FT_SHORT: return Load<int16_t>(p);
        case FT_INT:
        case FT_AUTOINC: return Load<int32_t>(p);
        case FT_BYTE: return *p;
        default: return 0;
    }
}

}  // namespace tw
