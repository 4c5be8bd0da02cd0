// Index and chain node images (layout in IndexNode.h).
#include "recordengine/IndexNode.h"

#include <cstring>

#include "recordengine/IndexKey.h"
#include "recordengine/TableHeader.h"

namespace tw {

namespace {

constexpr char kChainTag[8] = {'f', 'D', 'U', 'P', 'K', 'E', 'Y', 0};

bool CheckPosition(CTableFile& file, int32_t pos, int size, const char* what, std::string& error) {
    if (pos < HEADER_SIZE || pos > file.Size() - size) {
        error = std::string(what) + " position " + std::to_string(pos) + " is outside the file";
        return false;
    }
    return true;
}

void EncodeFixed(const CIndexNode& node, uint8_t* out) {
    PutInt32(out, node.count);
    for (int i = 0; i < NODE_SLOTS; ++i) {
        PutInt32(out + 4 + 4 * i, node.child[i]);
        PutInt32(out + 808 + 4 * i, node.record[i]);
    }
    PutInt32(out + 1612, node.parent);
    PutInt32(out + 1616, node.self);
    PutInt32(out + 1620, node.prev);
    PutInt32(out + 1624, node.next);
}

bool DecodeFixed(const uint8_t* in, int32_t pos, CIndexNode& node, std::string& error) {
    node.count = GetInt32(in);
    if (node.count < 1 || node.count > NODE_ENTRIES) {
        error = "index node at " + std::to_string(pos) + " has " + std::to_string(node.count) + " entries";
        return false;
    }
    for (int i = 0; i < NODE_SLOTS; ++i) {
        node.child[i] = GetInt32(in + 4 + 4 * i);
        node.record[i] = GetInt32(in + 808 + 4 * i);
    }
    node.parent = GetInt32(in + 1612);
    node.self = pos;  // written back where it was read, whatever the stored word says
    node.prev = GetInt32(in + 1620);
    node.next = GetInt32(in + 1624);
    return true;
}

}  // namespace

int32_t GetInt32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

void PutInt32(uint8_t* p, int32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
}

void CIndexNode::Init(const CIndexKey& key, int32_t pos) {
    count = 0;
    parent = prev = next = -1;
    self = pos;
    slotWidth = key.SlotWidth();
    keys.assign(static_cast<size_t>(NODE_SLOTS) * static_cast<size_t>(slotWidth), 0);
    ClearSlots(0);
}

void CIndexNode::ClearSlots(int from) {
    for (int i = from; i < NODE_SLOTS; ++i) {
        child[i] = -1;
        record[i] = -1;
        if (!keys.empty()) std::memset(Key(i), 0, static_cast<size_t>(slotWidth));
    }
}

bool ReadNode(CTableFile& file, const CIndexKey& key, int32_t pos, CIndexNode& node, std::string& error) {
    if (!CheckPosition(file, pos, key.NodeSize(), "index node", error)) return false;
    std::vector<uint8_t> buf(static_cast<size_t>(key.NodeSize()));
    if (!file.ReadAt(pos, buf.data(), buf.size())) {
        error = "index node at " + std::to_string(pos) + ": " + file.Error();
        return false;
    }
    if (!DecodeFixed(buf.data(), pos, node, error)) return false;
    node.slotWidth = key.SlotWidth();
    node.keys.assign(buf.begin() + key.KeyAreaOffset(),
                     buf.begin() + key.KeyAreaOffset() + NODE_SLOTS * key.SlotWidth());
    return true;
}

bool WriteNode(CTableFile& file, const CIndexKey& key, const CIndexNode& node, std::string& error) {
    std::vector<uint8_t> buf(static_cast<size_t>(key.NodeSize()), 0);
    EncodeFixed(node, buf.data());
    std::memcpy(buf.data() + key.KeyAreaOffset(), node.keys.data(), node.keys.size());
    if (!file.WriteAt(node.self, buf.data(), buf.size())) {
        error = file.Error();
        return false;
    }
    return true;
}

bool ReadNodeFixed(CTableFile& file, int32_t pos, CIndexNode& node, std::string& error) {
    if (!CheckPosition(file, pos, NODE_FIXED_SIZE, "index node", error)) return false;
    uint8_t buf[NODE_FIXED_SIZE];
    if (!file.ReadAt(pos, buf, sizeof buf)) {
        error = "index node at " + std::to_string(pos) + ": " + file.Error();
        return false;
    }
    node.keys.clear();
    return DecodeFixed(buf, pos, node, error);
}

bool WriteNodeFixed(CTableFile& file, const CIndexNode& node, std::string& error) {
    uint8_t buf[NODE_FIXED_SIZE];
    EncodeFixed(node, buf);
    if (!file.WriteAt(node.self, buf, sizeof buf)) {
        error = file.Error();
        return false;
    }
    return true;
}

bool IsChainNode(CTableFile& file, int32_t pos) {
    uint8_t buf[CHAIN_NODE_SIZE];
    return pos >= HEADER_SIZE && file.ReadSome(pos, buf, sizeof buf) == CHAIN_NODE_SIZE &&
           std::memcmp(buf, kChainTag, 7) == 0;
}

bool ReadChainNode(CTableFile& file, int32_t pos, CChainNode& node, std::string& error) {
    uint8_t buf[CHAIN_NODE_SIZE];
    if (!CheckPosition(file, pos, CHAIN_NODE_SIZE, "chain node", error)) return false;
    if (!file.ReadAt(pos, buf, sizeof buf) || std::memcmp(buf, kChainTag, 7) != 0) {
        error = "chain node at " + std::to_string(pos) + " is damaged";
        return false;
    }
    node.record = GetInt32(buf + 8);
    node.next = GetInt32(buf + 12);
    node.prev = GetInt32(buf + 16);
    node.last = GetInt32(buf + 20);
    return true;
}

bool WriteChainNode(CTableFile& file, int32_t pos, const CChainNode& node, std::string& error) {
    uint8_t buf[CHAIN_NODE_SIZE];
    std::memcpy(buf, kChainTag, 8);
    PutInt32(buf + 8, node.record);
    PutInt32(buf + 12, node.next);
    PutInt32(buf + 16, node.prev);
    PutInt32(buf + 20, node.last);
    if (!file.WriteAt(pos, buf, sizeof buf)) {
        error = file.Error();
        return false;
    }
    return true;
}

}  // namespace tw
