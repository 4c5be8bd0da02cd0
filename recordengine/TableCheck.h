// Structure check of a table file, independent of CRecordTable: it reads the file as a stranger would and
// stops at the first inconsistency it finds.
//
// Checked: the header bounds; per key, that every node is reached once, is within the file and has 1..200
// entries in ascending order, that internal keys equal the largest key of their subtrees, that all leaves
// are at one depth and chained in key order both ways from the header's first to its last leaf, that every
// live entry (and every node of a duplicate chain, whose links agree both ways) leads to a readable record
// carrying the entry's key, that every key holds each record exactly once and the same records as key 0,
// and that the live records equal the header's count; then that the free lists stay inside the file, and
// that header, nodes, chain nodes, records and free blocks never overlap.
#pragma once

#include <cstdint>
#include <string>

namespace tw {

struct CTableCheckSummary {
    int records = 0;
    int keys = 0;
    int64_t indexNodes = 0;
    int64_t chainNodes = 0;
    int64_t freeRecordBlocks = 0;
    int64_t freeChainNodes = 0;
};

// Opens the file for reading (shared lock) and checks it; false with the first problem in error.
bool CheckTable(const std::string& fileName, std::string& error, CTableCheckSummary* summary = nullptr);

}  // namespace tw
