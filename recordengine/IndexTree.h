// Operations on one key's index tree and its duplicate chains, inside an open table file.
//
// The tree is a B+-tree of CIndexNode images: leaves hold the entries and are chained both ways; internal
// keys are the largest key of their subtree. Nodes split 100/101 on the 201st entry, are only ever added
// at the end of the file and are never merged or freed. Equal values of a KEY_DUP key share one entry
// whose record word points at a chain of CChainNode; removed entries become dead (record word -1) and
// are revived when their value comes back.
//
// Every walk is bounded by what the file can hold (depth 32, leaves and chain nodes by the file size),
// so damaged bytes end an operation with false and an error text. Header fields of the key (root,
// leaves, free chain nodes) are changed in the header image; the caller writes it back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recordengine/IndexKey.h"
#include "recordengine/IndexNode.h"
#include "recordengine/TableFile.h"
#include "recordengine/TableHeader.h"

namespace tw {

struct CSearchResult {
    bool found = false;         // an entry with the value exists (it may be dead)
    bool pastEnd = false;       // the value is above the last key of some node on the path
    int entry = 0;              // the entry found, or the position to insert at
    int32_t word = -1;          // the found entry's record word
    CIndexNode leaf;            // leaf.self is -1 when the tree is empty
    std::vector<int32_t> path;  // node positions from the root to the leaf
};

// Where a chain node was taken out, so that an update can put the record back at its place.
struct CChainPlace {
    int32_t leaf = -1;
    int entry = -1;
    int32_t prev = -1;
    int32_t next = -1;
};

// The fixed part of the last node read by a leaf walk.
struct CNodeCache {
    int32_t pos = -1;
    CIndexNode node;
};

struct CLiveEntry {
    bool found = false;
    int32_t leaf = -1;
    int entry = -1;
    int32_t word = -1;
};

class CIndexTree {
public:
    CIndexTree(CTableFile& file, CTableHeader& header, int key, const CIndexKey& def, std::string& error)
        : file_(file), header_(header), k_(key), key_(def), error_(error) {}

    // value has def.SlotWidth() bytes. With raise set, the last key of every internal node on the path
    // that is below the value is raised to it.
    bool Search(const uint8_t* value, bool raise, CSearchResult& result);
    // Inserts a new entry at the position a search gave, splitting up to the root as needed.
    bool Insert(const uint8_t* value, int32_t record, CSearchResult& at);
    // Enters record in the entry a search found: revives a dead entry or extends its chain. keepAt, when
    // it names this entry, puts the record back where an update took it out.
    bool AddToEntry(CSearchResult& at, int32_t record, const CChainPlace* keepAt);
    // Takes record out of the entry of value; hint is a chain node that may hold it (-1 = none).
    bool Remove(const uint8_t* value, int32_t record, int32_t hint, CChainPlace* removedAt);

    // First live entry from (leaf, entry) on along the leaf chain, forward in key order or backward
    // (backward, entry -1 = the leaf's last); `live` stays empty at the end of the chain.
    bool FindLive(int32_t leaf, int entry, bool forward, CNodeCache& cache, CLiveEntry& live);

    int64_t MaxChainLength() const { return file_.Size() / CHAIN_NODE_SIZE + 1; }

private:
    bool Damaged(const std::string& what);
    bool EndOfFile(int64_t size, int32_t& pos);
    bool WriteTracked(const CIndexNode& node);
    bool ReadCached(int32_t pos, CNodeCache& cache);
    bool Reparent(int32_t pos, int32_t parent);
    // The leaf at pos, whose previous leaf is `from`, gets `to` as its previous leaf.
    bool Relink(int32_t pos, int32_t from, int32_t to);
    bool AllocChainNode(const CChainNode& content, int32_t& pos);
    bool FreeChainNode(int32_t pos);
    bool LinkChainNode(CIndexNode& leaf, int entry, int32_t prev, int32_t next, int32_t record);
    bool UnlinkChainNode(CIndexNode& leaf, int entry, int32_t pos, const CChainNode& node);

    CTableFile& file_;
    CTableHeader& header_;
    int k_;
    const CIndexKey& key_;
    std::string& error_;
};

}  // namespace tw
