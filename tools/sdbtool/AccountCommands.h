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
// False with `error` when a string field of `t` cannot hold all of `text` (it would be stored cut).
bool FitsField(const CRecordTable& t, const std::string& field, const std::string& text, std::string& error);
// A new user or group name (`what`) for the key field `field`: not blank, and stored whole.
bool CheckName(const CRecordTable& t, const std::string& field, const std::string& name, const std::string& what,
               std::string& error);

}  // namespace accounts
