// Key values and their order (rules in IndexKey.h).
#include "recordengine/IndexKey.h"

#include <cstring>

#include "recordengine/IndexNode.h"

namespace tw {

namespace {

template <typename T>
int CompareNumbers(const uint8_t* a, const uint8_t* b) {
    T x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    return x < y ? -1 : (y < x ? 1 : 0);  // unordered floats compare equal
}

int FoldAscii(uint8_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

int CompareText(const uint8_t* a, const uint8_t* b, int length, int caseMode) {
    if (caseMode != 1 && caseMode != 2) return -1;
    for (int i = 0; i < length; ++i) {
        const int x = caseMode == 2 ? FoldAscii(a[i]) : a[i];
        const int y = caseMode == 2 ? FoldAscii(b[i]) : b[i];
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
    return 0;
}

}  // namespace

void CIndexKey::Load(const CTableHeader& header, const CRecordLayout& layout, int key) {
    kind_ = header.KeyKind(key);
    parts_.clear();
    int total = 0;
    for (int p = 0; p < header.KeyParts(key); ++p) {
        const CFieldInfo& f = layout.Field(header.KeyPartField(key, p));
        Part part{f.type, header.KeyPartCase(key, p), f.offset, TypeWidth(f.type)};
        if (f.type == FT_STRING) {
            part.imageOffset += header.KeyPartStart(key, p);
            part.length = header.KeyPartLength(key, p);
        }
        total += part.length;
        parts_.push_back(part);
    }
    const bool text = parts_.size() > 1 || parts_[0].type == FT_STRING;
    nodeType_ = text ? FT_STRING : (parts_[0].type == FT_AUTOINC ? FT_INT : parts_[0].type);
    textLength_ = text ? total : 0;
    slotWidth_ = text ? total + 1 : total;
    keyAreaOffset_ = text || nodeType_ == FT_DOUBLE ? NODE_FIXED_SIZE + 4 : NODE_FIXED_SIZE;
    const int used = keyAreaOffset_ + NODE_SLOTS * slotWidth_;
    nodeSize_ = text ? used : (used + 3) / 4 * 4;  // byte and short keys end with 3 and 2 unused bytes
}

void CIndexKey::Build(const uint8_t* image, uint8_t* value) const {
    std::memset(value, 0, static_cast<size_t>(slotWidth_));
    int at = 0;
    for (const Part& part : parts_) {
        std::memcpy(value + at, image + part.imageOffset, static_cast<size_t>(part.length));
        at += part.length;
    }
}

int CIndexKey::ComparePart(const Part& part, const uint8_t* a, const uint8_t* b) const {
    switch (part.type) {
        case FT_BYTE: return CompareNumbers<uint8_t>(a, b);
        case FT_SHORT: return CompareNumbers<int16_t>(a, b);
        case FT_INT:
        case FT_AUTOINC: return CompareNumbers<int32_t>(a, b);
        case FT_FLOAT: return CompareNumbers<float>(a, b);
        case FT_DOUBLE: return CompareNumbers<double>(a, b);
        default: return CompareText(a, b, part.length, part.caseMode);
    }
}

int CIndexKey::Compare(const uint8_t* a, const uint8_t* b) const {
    if (IsOneText()) return CompareText(a, b, slotWidth_, parts_[0].caseMode);
    int at = 0;
    for (const Part& part : parts_) {
        if (int c = ComparePart(part, a + at, b + at); c != 0) return c;
        at += part.length;
    }
    return 0;
}

}  // namespace tw
