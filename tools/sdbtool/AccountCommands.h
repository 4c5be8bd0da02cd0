// Helpers shared by the account subcommands of sdbtool: reporting, arguments and options. The account
// rules themselves are the account library's (accounts/AccountStore.h).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "accounts/Accounts.h"
#include "tools/sdbtool/Commands.h"

namespace tw {

namespace sdbtool {

// Reports a failure (exit status 1) or wrong usage (exit status 2) on standard error.
int Fail(const std::string& message);
int Misuse(const std::string& message);
// Reports what the account library refused: a value that cannot be stored is wrong usage (2), anything
// else a failure (1).
int Refused(const AccountStatus& status);
// A program directory argument: `dir` gets it ending in "/"; false (reported) when it is no directory.
bool ProgramDirectoryArg(const std::string& arg, std::string& dir);
// "--key value" pairs from args[from] on; false with `error` for anything else.
bool ParseOptions(const CommandArgs& args, size_t from, const std::vector<std::string>& known,
                  std::map<std::string, std::string>& options, std::string& error);
// A directory argument as stored: absolute, without "." and ".." pieces.
std::string AbsoluteDirectory(const std::string& arg);

}  // namespace sdbtool

}  // namespace tw
