// Record packing and reading (formats in RecordLayout.h).
#include "recordengine/RecordLayout.h"

#include <cstring>

namespace tw {

void CRecordLayout::Load(const CTableHeader& header) {
    Clear();
    int offset = 0;
    for (int f = 0; f < header.FieldCount(); ++f) {
        CFieldInfo info{header.FieldType(f), header.FieldWidth(f), offset};
        offset += info.width;
        maxPacked_ += info.width + (info.type == FT_STRING ? 2 : 0);
        fields_.push_back(info);
    }
    length_ = offset;
    format_ = header.Format();
}

void CRecordLayout::Clear() {
    fields_.clear();
    length_ = 0;
    format_ = FORMAT_PACKED;
    maxPacked_ = 2;
}

int CRecordLayout::Pack(const uint8_t* image, uint8_t* out) const {
    int at = 2;
    for (const CFieldInfo& f : fields_) {
        const uint8_t* src = image + f.offset;
        if (f.type == FT_STRING) {
            const int n = static_cast<int>(strnlen(reinterpret_cast<const char*>(src), static_cast<size_t>(f.width)));
            out[at] = static_cast<uint8_t>(n);
            out[at + 1] = static_cast<uint8_t>(n >> 8);
            std::memcpy(out + at + 2, src, static_cast<size_t>(n));
            at += 2 + n;
        } else {
            std::memcpy(out + at, src, static_cast<size_t>(f.width));
            at += f.width;
        }
    }
    out[0] = static_cast<uint8_t>(at);
    out[1] = static_cast<uint8_t>(at >> 8);
    return at;
}

bool CRecordLayout::Unpack(const uint8_t* packed, int len, uint8_t* image) const {
    std::memset(image, 0, static_cast<size_t>(length_));
    int at = 2;
    for (const CFieldInfo& f : fields_) {
        int n = f.width;
        if (f.type == FT_STRING) {
            if (at + 2 > len) return false;
            n = packed[at] | packed[at + 1] << 8;
            at += 2;
            if (n > f.width) return false;
        }
        if (at + n > len) return false;
        std::memcpy(image + f.offset, packed + at, static_cast<size_t>(n));
        at += n;
    }
    return at == len;
}

bool CRecordLayout::Read(CTableFile& file, int32_t pos, uint8_t* image, int& diskLength, std::string& error) const {
    if (pos < HEADER_SIZE) {
        error = "record position " + std::to_string(pos) + " is inside the header";
        return false;
    }
    if (format_ == FORMAT_FIXED) {
        diskLength = length_;
        return file.ReadAt(pos, image, static_cast<size_t>(length_)) ||
               (error = "record at " + std::to_string(pos) + " can't be read: " + file.Error(), false);
    }
    std::vector<uint8_t> buf(static_cast<size_t>(maxPacked_));
    const int64_t got = file.ReadSome(pos, buf.data(), buf.size());
    const int len = got >= 2 ? (buf[0] | buf[1] << 8) : 0;
    if (got < 2 || len < 2 || len > got || !Unpack(buf.data(), len, image)) {
        error = "record at " + std::to_string(pos) + " is damaged";
        return false;
    }
    diskLength = len;
    return true;
}

}  // namespace tw
