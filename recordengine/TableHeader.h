// The table header image: the first 15472 bytes of every table file, kept in memory while a table is open.
//
// All integers little-endian; bytes not listed are zero. "32 x 128" means 128 slots of 32 bytes.
//   0x0000  32         banner, 21 characters NUL-padded; written as "ZqDB,Tarnwick records", never read
//   0x0020  4          record length (int32): length of the unpacked record image
//   0x0024  4          record count (int32)
//   0x0028  32 x 128   field names, NUL-terminated, at most 31 characters
//   0x1028  2 x 128    field types (int16, FT_ codes)
//   0x1128  2 x 128    field widths (int16)
//   0x1228  2          field count (int16, at most 128)
//   0x122A  32 x 10    key names, NUL-terminated, at most 31 characters
//   0x136A  2 x 10     key kinds (int16: KEY_DUP 1, KEY_UNIQUE 2)
//   0x137E  256 x 10   per key: up to 128 field numbers (int16) of its parts
//   0x1D7E  256 x 10   per key: up to 128 case modes (int16: 1 exact, 2 ignoring case)
//   0x277E  256 x 10   per key: up to 128 start offsets (int16) inside string fields
//   0x317E  256 x 10   per key: up to 128 part lengths (int16)
//   0x3B7E  2 x 10     per key: part count (int16); -1 = a key made of one field
//   0x3B92  2          key count (int16, at most 10)
//   0x3B94  4 x 10     per key: root node position (int32, -1 = empty tree)
//   0x3BBC  4 x 10     per key: first leaf position (int32, -1 = none)
//   0x3BE4  4 x 10     per key: last leaf position (int32, -1 = none)
//   0x3C0C  4          head of the free list of record blocks (int32, -1 = empty)
//   0x3C10  4          head of the free list of 24-byte chain nodes (int32, -1 = empty)
//   0x3C14  2          record storage format (int16): 0 packed, -1 fixed-length
//   0x3C16  60         table title, NUL-terminated, at most 59 characters
//   0x3C52  10         engine version "2.60", NUL-padded
//   0x3C5C  4          head of the free list of memo blocks (int32, -1 = empty)
//   0x3C60  16         zero
//
// Only Validate() judges the bytes; it rejects what would make offsets or lengths leave the record image
// or the tables above, and key kinds other than 1 and 2, which no rule knows how to maintain (banner,
// title and version are never compared).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tw {

constexpr int FT_SHORT = 1;
constexpr int FT_INT = 2;
constexpr int FT_FLOAT = 3;
constexpr int FT_DOUBLE = 4;
constexpr int FT_STRING = 5;
constexpr int FT_BYTE = 6;
constexpr int FT_MEMO = 7;
constexpr int FT_AUTOINC = 8;

constexpr int KEY_DUP = 1;
constexpr int KEY_UNIQUE = 2;

constexpr int HEADER_SIZE = 0x3C70;
constexpr int MAX_FIELDS = 128;
constexpr int MAX_KEYS = 10;
constexpr int MAX_KEY_PARTS = 128;
constexpr int MAX_KEY_LENGTH = 128;
constexpr int MAX_STRING_WIDTH = 1024;
constexpr int NAME_LENGTH = 31;
constexpr int TITLE_LENGTH = 59;

constexpr int FORMAT_PACKED = 0;
constexpr int FORMAT_FIXED = -1;

// Width of a field of the given type in the record image; 0 for FT_STRING (declared) and unknown types.
int TypeWidth(int type);

class CTableHeader {
public:
    CTableHeader() { Clear(); }
    void Clear() { bytes_.fill(0); }

    uint8_t* Data() { return bytes_.data(); }
    const uint8_t* Data() const { return bytes_.data(); }

    int32_t RecordLength() const { return Get32(0x20); }
    void SetRecordLength(int32_t v) { Put32(0x20, v); }
    int32_t Count() const { return Get32(0x24); }
    void SetCount(int32_t v) { Put32(0x24, v); }

    std::string FieldName(int f) const { return Text(0x28 + 32 * f, 32); }
    void SetFieldName(int f, const std::string& s) { SetText(0x28 + 32 * f, 32, s); }
    int FieldType(int f) const { return Get16(0x1028 + 2 * f); }
    void SetFieldType(int f, int v) { Put16(0x1028 + 2 * f, v); }
    int FieldWidth(int f) const { return Get16(0x1128 + 2 * f); }
    void SetFieldWidth(int f, int v) { Put16(0x1128 + 2 * f, v); }
    int FieldCount() const { return Get16(0x1228); }
    void SetFieldCount(int v) { Put16(0x1228, v); }

    std::string KeyName(int k) const { return Text(0x122A + 32 * k, 32); }
    void SetKeyName(int k, const std::string& s) { SetText(0x122A + 32 * k, 32, s); }
    int KeyKind(int k) const { return Get16(0x136A + 2 * k); }
    void SetKeyKind(int k, int v) { Put16(0x136A + 2 * k, v); }
    int KeyPartField(int k, int p) const { return Get16(0x137E + 256 * k + 2 * p); }
    void SetKeyPartField(int k, int p, int v) { Put16(0x137E + 256 * k + 2 * p, v); }
    int KeyPartCase(int k, int p) const { return Get16(0x1D7E + 256 * k + 2 * p); }
    void SetKeyPartCase(int k, int p, int v) { Put16(0x1D7E + 256 * k + 2 * p, v); }
    int KeyPartStart(int k, int p) const { return Get16(0x277E + 256 * k + 2 * p); }
    void SetKeyPartStart(int k, int p, int v) { Put16(0x277E + 256 * k + 2 * p, v); }
    int KeyPartLength(int k, int p) const { return Get16(0x317E + 256 * k + 2 * p); }
    void SetKeyPartLength(int k, int p, int v) { Put16(0x317E + 256 * k + 2 * p, v); }
    int KeyPartCount(int k) const { return Get16(0x3B7E + 2 * k); }  // -1: one field
    void SetKeyPartCount(int k, int v) { Put16(0x3B7E + 2 * k, v); }
    int KeyParts(int k) const { return KeyPartCount(k) < 0 ? 1 : KeyPartCount(k); }
    int KeyCount() const { return Get16(0x3B92); }
    void SetKeyCount(int v) { Put16(0x3B92, v); }

    int32_t Root(int k) const { return Get32(0x3B94 + 4 * k); }
    void SetRoot(int k, int32_t v) { Put32(0x3B94 + 4 * k, v); }
    int32_t FirstLeaf(int k) const { return Get32(0x3BBC + 4 * k); }
    void SetFirstLeaf(int k, int32_t v) { Put32(0x3BBC + 4 * k, v); }
    int32_t LastLeaf(int k) const { return Get32(0x3BE4 + 4 * k); }
    void SetLastLeaf(int k, int32_t v) { Put32(0x3BE4 + 4 * k, v); }

    int32_t FreeRecords() const { return Get32(0x3C0C); }
    void SetFreeRecords(int32_t v) { Put32(0x3C0C, v); }
    int32_t FreeChainNodes() const { return Get32(0x3C10); }
    void SetFreeChainNodes(int32_t v) { Put32(0x3C10, v); }
    int Format() const { return Get16(0x3C14); }
    void SetFormat(int v) { Put16(0x3C14, v); }
    std::string Title() const { return Text(0x3C16, 60); }
    void SetTitle(const std::string& s) { SetText(0x3C16, 60, s); }
    std::string Version() const { return Text(0x3C52, 10); }
    int32_t FreeMemos() const { return Get32(0x3C5C); }
    void SetFreeMemos(int32_t v) { Put32(0x3C5C, v); }

    // The byte ranges that change while a table is open: record count, and roots, leaves and free lists.
    static constexpr int kCountRange[2] = {0x20, 0x28};
    static constexpr int kTreeRange[2] = {0x3B94, 0x3C60};

    // Banner, version and empty free lists and trees, as a new table has them.
    void InitNew();
    // Checks every count, type, width and key part against its bounds.
    bool Validate(std::string& error) const;

private:
    int Get16(int off) const { return static_cast<int16_t>(bytes_[off] | bytes_[off + 1] << 8); }
    void Put16(int off, int v);
    int32_t Get32(int off) const;
    void Put32(int off, int32_t v);
    std::string Text(int off, int size) const;
    void SetText(int off, int size, const std::string& s);

    std::array<uint8_t, HEADER_SIZE> bytes_;
};

}  // namespace tw
