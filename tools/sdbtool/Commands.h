// The subcommands of sdbtool. Each takes the arguments after its name and returns the exit status:
// 0 done, 1 the table is unusable or inconsistent, 2 wrong usage.
#pragma once

#include <string>
#include <vector>

namespace tw {

using CommandArgs = std::vector<std::string>;

int RunDump(const CommandArgs& args);
int RunCheck(const CommandArgs& args);
int RunInit(const CommandArgs& args);
int RunUser(const CommandArgs& args);
int RunGroup(const CommandArgs& args);
int RunFolder(const CommandArgs& args);

}  // namespace tw
