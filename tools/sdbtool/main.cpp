// sdbtool: inspect record engine tables (.sdb) and edit the account tables. One subcommand per source file, listed
// below.
#include <cstdio>
#include <cstring>

#include "tools/sdbtool/Commands.h"

namespace tw {
namespace {

struct Command {
    const char* name;
    const char* usage;
    int (*run)(const CommandArgs&);
};

constexpr Command kCommands[] = {
    {"dump", "dump FILE     header, fields, keys and every record in key-0 order", RunDump},
    {"check", "check FILE    validate the structure; exits 1 at the first inconsistency", RunCheck},
    {"init", "init DIR      create empty user.sdb and group.sdb in a program directory", RunInit},
    {"user",
     "user add|set|del|list|show DIR [NAME] [--password P | --password-plain P] [--home DIR]\n"
     "              [--rights RWDRALCRR] [--groups G1,G2] [--status enabled|disabled]\n"
     "              [--expires YYYY-MM-DD|never] [--download-speed KB] [--upload-speed KB]\n"
     "              [--quota KB] [--used KB] [--email E]\n"
     "  sdbtool user rescan-quota DIR NAME|--all   set used quota to what the home stores",
     RunUser},
    {"group", "group add|set|del|list DIR [NAME] [--notes TEXT]", RunGroup},
    {"vfolder", "vfolder add|del|list DIR user|group OWNER [NAME [LOCALDIR]] [--rights R----L---]", RunFolder},
};

int Usage() {
    std::fprintf(stderr, "usage: sdbtool COMMAND ARGS...\n");
    for (const Command& c : kCommands) std::fprintf(stderr, "  sdbtool %s\n", c.usage);
    return 2;
}

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
    using namespace tw;
    if (argc < 2) return Usage();
    for (const Command& c : kCommands) {
        if (std::strcmp(argv[1], c.name) == 0) return c.run(CommandArgs(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "sdbtool: unknown command '%s'\n", argv[1]);
    return Usage();
}
