// Index nodes and duplicate-chain nodes: their images in the file and their reading and writing.
//
// Index node, all int32 little-endian, positions from the start of the file, -1 = none:
//   0      4          entry count n (1..200 on disk)
//   4      4 x 201    child[i]: child node of entry i; -1 in leaves
//   808    4 x 201    record[i]: in leaves the record position, the head of a duplicate chain, or -1 for a
//                     dead entry (it keeps its key and its place); unused in internal nodes
//   1612   4          parent node
//   1616   4          this node's own position
//   1620   4          previous node on the same level
//   1624   4          next node on the same level
//   1628   key area   key[i] ascending; in an internal node the largest key of the subtree under child[i]
// Key area by key: FT_BYTE 201 x 1 at 1628 (node 1832 bytes); FT_SHORT 201 x 2 at 1628 (2032);
// FT_INT/FT_AUTOINC/FT_FLOAT 201 x 4 at 1628 (2432); FT_DOUBLE 201 x 8 at 1632 (3240); text and
// several-part keys 201 slots of L + 1 bytes at 1632 (1632 + 201 x (L + 1)), NUL-padded.
// Written here, read by nobody: slots past n hold child -1, record -1 and zero key bytes; the 4 bytes at
// 1628 of double and text nodes are zero; a root made by a split has record words and links of -1, and so
// have the links of a node split off an internal node. Links are read in leaves only.
// Read more strictly than the format is worded: a node of 0 entries is damage (no writer can make one and
// no search can pass it), as is a key kind other than 1 and 2 (TableHeader.h).
//
// Duplicate-chain node, 24 bytes:
//   0   8   "fDUPKEY" and a NUL
//   8   4   record position
//   12  4   next node (-1 = last)
//   16  4   previous node (-1 = head)
//   20  4   in the head: the chain's last node (the head itself, or -1, when alone); written here as -1 in
//           other nodes, never read there
// A free chain node holds the next free node's position in its first 4 bytes, which breaks the tag.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recordengine/TableFile.h"

namespace tw {

class CIndexKey;

constexpr int NODE_ENTRIES = 200;
constexpr int NODE_SLOTS = 201;
constexpr int NODE_FIXED_SIZE = 1628;
constexpr int CHAIN_NODE_SIZE = 24;

struct CIndexNode {
    int32_t count = 0;
    int32_t child[NODE_SLOTS];
    int32_t record[NODE_SLOTS];
    int32_t parent = -1;
    int32_t self = -1;
    int32_t prev = -1;
    int32_t next = -1;
    int slotWidth = 0;
    std::vector<uint8_t> keys;  // NODE_SLOTS x slotWidth; empty when only the fixed part was read

    // An empty node at pos with room for keys of this key.
    void Init(const CIndexKey& key, int32_t pos);
    bool IsLeaf() const { return child[0] == -1; }
    uint8_t* Key(int i) { return keys.data() + static_cast<size_t>(i) * static_cast<size_t>(slotWidth); }
    const uint8_t* Key(int i) const { return keys.data() + static_cast<size_t>(i) * static_cast<size_t>(slotWidth); }
    // Clears the slots from `from` on to the unused state.
    void ClearSlots(int from);
};

// Reading checks the position, the length read and the entry count (1..200); self is set to the position
// read from.
bool ReadNode(CTableFile& file, const CIndexKey& key, int32_t pos, CIndexNode& node, std::string& error);
bool WriteNode(CTableFile& file, const CIndexKey& key, const CIndexNode& node, std::string& error);
// The first 1628 bytes only: count, children, record words and links.
bool ReadNodeFixed(CTableFile& file, int32_t pos, CIndexNode& node, std::string& error);
bool WriteNodeFixed(CTableFile& file, const CIndexNode& node, std::string& error);

struct CChainNode {
    int32_t record = -1;
    int32_t next = -1;
    int32_t prev = -1;
    int32_t last = -1;
};

// True when 24 bytes at pos can be read and carry the tag.
bool IsChainNode(CTableFile& file, int32_t pos);
bool ReadChainNode(CTableFile& file, int32_t pos, CChainNode& node, std::string& error);
bool WriteChainNode(CTableFile& file, int32_t pos, const CChainNode& node, std::string& error);

// Little-endian helpers shared by the node and free-list code.
int32_t GetInt32(const uint8_t* p);
void PutInt32(uint8_t* p, int32_t v);

}  // namespace tw
