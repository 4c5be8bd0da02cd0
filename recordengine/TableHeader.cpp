// Typed access to the header image and its validation (layout in TableHeader.h).
#include "recordengine/TableHeader.h"

#include <algorithm>
#include <cstring>

namespace tw {

int TypeWidth(int type) {
    switch (type) {
        case FT_SHORT: return 2;
        case FT_INT:
        case FT_FLOAT:
        case FT_AUTOINC: return 4;
        case FT_DOUBLE:
        case FT_MEMO: return 8;
        case FT_BYTE: return 1;
        default: return 0;
    }
}

void CTableHeader::Put16(int off, int v) {
    bytes_[off] = static_cast<uint8_t>(v);
    bytes_[off + 1] = static_cast<uint8_t>(static_cast<unsigned>(v) >> 8);
}

int32_t CTableHeader::Get32(int off) const {
    uint32_t v = static_cast<uint32_t>(bytes_[off]) | static_cast<uint32_t>(bytes_[off + 1]) << 8 |
                 static_cast<uint32_t>(bytes_[off + 2]) << 16 | static_cast<uint32_t>(bytes_[off + 3]) << 24;
    return static_cast<int32_t>(v);
}

void CTableHeader::Put32(int off, int32_t v) {
    for (int i = 0; i < 4; ++i) bytes_[off + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
}

std::string CTableHeader::Text(int off, int size) const {
    const char* p = reinterpret_cast<const char*>(bytes_.data() + off);
    return std::string(p, strnlen(p, static_cast<size_t>(size)));
}

void CTableHeader::SetText(int off, int size, const std::string& s) {
    std::memset(bytes_.data() + off, 0, static_cast<size_t>(size));
    std::memcpy(bytes_.data() + off, s.data(), std::min(s.size(), static_cast<size_t>(size - 1)));
}

void CTableHeader::InitNew() {
    SetText(0, 32, "ZqDB,Tarnwick records");
    SetText(0x3C52, 10, "2.60");
    SetFormat(FORMAT_PACKED);
    SetCount(0);
    SetFreeRecords(-1);
    SetFreeChainNodes(-1);
    SetFreeMemos(-1);
    for (int k = 0; k < MAX_KEYS; ++k) {
        SetRoot(k, -1);
        SetFirstLeaf(k, -1);
        SetLastLeaf(k, -1);
    }
}

bool CTableHeader::Validate(std::string& error) const {
    auto bad = [&](const std::string& what) {
        error = "table header is damaged: " + what;
        return false;
    };
    const int fields = FieldCount();
    if (fields < 0 || fields > MAX_FIELDS) return bad("field count " + std::to_string(fields));
    int offsets[MAX_FIELDS];
    int length = 0;
    for (int f = 0; f < fields; ++f) {
        const int type = FieldType(f);
        const int width = FieldWidth(f);
        const bool ok = type == FT_STRING ? width >= 1 && width <= MAX_STRING_WIDTH
                                          : TypeWidth(type) != 0 && width == TypeWidth(type);
        if (!ok)
            return bad("field " + std::to_string(f) + " has type " + std::to_string(type) + " and width " +
                       std::to_string(width));
        offsets[f] = length;
        length += width;
    }
    if (RecordLength() != length)
        return bad("record length " + std::to_string(RecordLength()) + ", fields give " + std::to_string(length));
    if (Format() != FORMAT_PACKED && Format() != FORMAT_FIXED) return bad("storage format " + std::to_string(Format()));
    if (Count() < 0) return bad("record count " + std::to_string(Count()));
    const int keys = KeyCount();
    if (keys < 0 || keys > MAX_KEYS) return bad("key count " + std::to_string(keys));
    for (int k = 0; k < keys; ++k) {
        const std::string key = "key " + std::to_string(k);
        if (KeyKind(k) != KEY_DUP && KeyKind(k) != KEY_UNIQUE)
            return bad(key + " has kind " + std::to_string(KeyKind(k)));
        const int parts = KeyPartCount(k);
        if (parts != -1 && (parts < 1 || parts > MAX_KEY_PARTS))
            return bad(key + " has " + std::to_string(parts) + " parts");
        int total = 0;
        for (int p = 0; p < KeyParts(k); ++p) {
            const int f = KeyPartField(k, p);
            if (f < 0 || f >= fields || FieldType(f) == FT_MEMO) return bad(key + " is on field " + std::to_string(f));
            if (FieldType(f) == FT_STRING) {
                const int start = KeyPartStart(k, p);
                const int len = KeyPartLength(k, p);
                // Another writer may let a part run into the following fields; it must stay in the image.
                if (start < 0 || len < 1 || len > MAX_KEY_LENGTH || offsets[f] + start + len > length)
                    return bad(key + " has a string part at " + std::to_string(start) + " of length " +
                               std::to_string(len));
                total += len;
            } else {
                total += TypeWidth(FieldType(f));
            }
        }
        if (total > MAX_KEY_LENGTH) return bad(key + " is " + std::to_string(total) + " bytes long");
    }
    return true;
}

}  // namespace tw
