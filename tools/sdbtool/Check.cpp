// sdbtool check FILE: the structure check of the record engine, with its first finding as the message.
#include <cstdio>

#include "recordengine/TableCheck.h"
#include "tools/sdbtool/Commands.h"

namespace tw {

int RunCheck(const CommandArgs& args) {
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: sdbtool check FILE\n");
        return 2;
    }
    std::string error;
    CTableCheckSummary s;
    if (!CheckTable(args[0], error, &s)) {
        std::fprintf(stderr, "%s: %s\n", args[0].c_str(), error.c_str());
        return 1;
    }
    std::printf(
        "%s: ok (%d records, %d keys, %lld index nodes, %lld chain nodes, %lld free record blocks, "
        "%lld free chain nodes)\n",
        args[0].c_str(), s.records, s.keys, static_cast<long long>(s.indexNodes), static_cast<long long>(s.chainNodes),
        static_cast<long long>(s.freeRecordBlocks), static_cast<long long>(s.freeChainNodes));
    return 0;
}

}  // namespace tw
