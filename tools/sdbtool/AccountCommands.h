// Helpers shared by the account subcommands of sdbtool.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Commands.h"

class CRecordTable;

namespace accounts {

// Reports a failure (exit status 1) or wrong usage (exit status 2) on standard error.
int Fail(const std::string& message);
int Misuse(const std::string& message);
// A program directory argument: `dir` gets it ending in "/"; false (reported) when it is no directory.
bool ProgramDirectoryArg(const std::string& arg, std::string& dir);
// "--key value" pairs from args[from] on; false with `error` for anything else.
bool ParseOptions(const CommandArgs& args, size_t from, const std::vector<std::string>& known,
                  std::map<std::string, std::string>& options, std::string& error);
// Opens a table for writing; reports the failure.
bool OpenForWriting(CRecordTable& t, const std::string& path);

}  // namespace accounts
