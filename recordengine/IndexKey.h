// A key definition resolved against the record layout: how its value is built from a record image, how
// two values compare, and the shape of its index nodes.
//
// Key values: a one-field numeric key is the field's bytes (1, 2, 4, 4, 8); a one-field string key is
// L bytes of the field from its start offset in a zero-filled slot of L + 1 bytes, compared as text up to
// the first NUL; a key of several parts is the concatenation of its parts (numbers at their widths,
// string parts L bytes) in a slot of total + 1 bytes, compared part by part.
// Case mode 2 folds ASCII letters only; bytes of 0x80 and above compare as they are.
#pragma once

#include <cstdint>
#include <vector>

#include "recordengine/RecordLayout.h"
#include "recordengine/TableHeader.h"

namespace tw {

class CIndexKey {
public:
    // The header must have passed Validate().
    void Load(const CTableHeader& header, const CRecordLayout& layout, int key);

    bool IsUnique() const { return kind_ == KEY_UNIQUE; }
    // Text and several-part keys use the text node layout.
    bool IsText() const { return nodeType_ == FT_STRING; }
    int TextLength() const { return textLength_; }  // L for text keys
    bool IsOneText() const { return IsText() && parts_.size() == 1; }
    int SlotWidth() const { return slotWidth_; }          // bytes of one key in a node
    int KeyAreaOffset() const { return keyAreaOffset_; }  // 1628 or 1632
    int NodeSize() const { return nodeSize_; }

    // value gets SlotWidth() bytes.
    void Build(const uint8_t* image, uint8_t* value) const;
    int Compare(const uint8_t* a, const uint8_t* b) const;

private:
    struct Part {
        int type;
        int caseMode;
        int imageOffset;
        int length;
    };
    int ComparePart(const Part& part, const uint8_t* a, const uint8_t* b) const;

    int kind_ = KEY_DUP;
    int nodeType_ = FT_INT;  // FT_BYTE, FT_SHORT, FT_INT, FT_FLOAT, FT_DOUBLE, or FT_STRING for text keys
    int textLength_ = 0;
    int slotWidth_ = 4;
    int keyAreaOffset_ = 1628;
    int nodeSize_ = 0;
    std::vector<Part> parts_;
};

}  // namespace tw
