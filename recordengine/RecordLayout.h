// Field layout of the record image, and the two ways a record lies on disk.
//
// Record image (in memory, record-length bytes): the fields in definition order, no padding; FT_STRING
// holds its declared width, NUL-terminated when shorter; FT_MEMO holds 8 bytes whose first int32 is the
// position of its first block (0 or negative = none).
//
// Packed record (format 0), at its file position:
//   uint16 total length, these 2 bytes included
//   each field in order: FT_SHORT 2, FT_INT/FT_FLOAT/FT_AUTOINC 4, FT_DOUBLE/FT_MEMO 8, FT_BYTE 1 bytes;
//   FT_STRING a uint16 length n (text up to the first NUL, at most the width) and n bytes, no terminator
// Fixed record (format -1): the record image as it is.
//
// Free record blocks (packed): the block keeps its uint16 length (its usable size) and holds the next free
// block's position in the int32 after it (0 or negative ends the list); blocks under 6 bytes are not
// listed. Fixed: a free slot holds the next free position in its first 4 bytes.
//
// Memo blocks: each starts with an 8-byte header whose first int32 is the next block's position (0 or
// negative ends the chain). A deleted record's chains are prepended to the memo free list; nothing here
// writes memo contents.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recordengine/TableFile.h"
#include "recordengine/TableHeader.h"

namespace tw {

struct CFieldInfo {
    int type = 0;
    int width = 0;
    int offset = 0;  // in the record image
};

class CRecordLayout {
public:
    // The header must have passed Validate().
    void Load(const CTableHeader& header);
    void Clear();

    int Length() const { return length_; }
    int Format() const { return format_; }
    int FieldCount() const { return static_cast<int>(fields_.size()); }
    const CFieldInfo& Field(int f) const { return fields_[static_cast<size_t>(f)]; }
    // Largest packed record, its length word included.
    int MaxPacked() const { return maxPacked_; }

    // Packs an image into out (MaxPacked() bytes); returns the packed length.
    int Pack(const uint8_t* image, uint8_t* out) const;
    // Unpacks a packed record of len bytes into a zeroed image; false when the bytes do not fit the fields.
    bool Unpack(const uint8_t* packed, int len, uint8_t* image) const;

    // Reads the record at pos into image; diskLength gets the bytes it takes in the file.
    bool Read(CTableFile& file, int32_t pos, uint8_t* image, int& diskLength, std::string& error) const;

private:
    std::vector<CFieldInfo> fields_;
    int length_ = 0;
    int format_ = FORMAT_PACKED;
    int maxPacked_ = 2;
};

}  // namespace tw
