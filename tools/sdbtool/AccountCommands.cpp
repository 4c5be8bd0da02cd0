#include "AccountCommands.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "platform/Text.h"
#include "recordengine/RecordTable.h"

namespace accounts {

int Fail(const std::string& message) {
    std::fprintf(stderr, "sdbtool: %s\n", message.c_str());
    return 1;
}

int Misuse(const std::string& message) {
    std::fprintf(stderr, "sdbtool: %s\n", message.c_str());
    return 2;
}

bool ProgramDirectoryArg(const std::string& arg, std::string& dir) {
    if (arg.empty() || !std::filesystem::is_directory(arg)) {
        Fail("directory '" + arg + "' does not exist");
        return false;
    }
    dir = arg.back() == '/' ? arg : arg + "/";
    return true;
}

bool ParseOptions(const CommandArgs& args, size_t from, const std::vector<std::string>& known,
                  std::map<std::string, std::string>& options, std::string& error) {
    for (size_t i = from; i < args.size(); i += 2) {
        const std::string& key = args[i];
        if (key.rfind("--", 0) != 0 || std::find(known.begin(), known.end(), key.substr(2)) == known.end()) {
            error = "unknown option '" + key + "'";
            return false;
        }
        if (i + 1 >= args.size()) {
            error = "option '" + key + "' needs a value";
            return false;
        }
        options[key.substr(2)] = args[i + 1];
    }
    return true;
}

bool OpenForWriting(CRecordTable& t, const std::string& path) {
    if (t.Open(path, OpenMode::ReadWrite)) return true;
    Fail("cannot open " + path + ": " + t.GetErrorText());
    return false;
}

bool FitsField(const CRecordTable& t, const std::string& field, const std::string& text, std::string& error) {
    const int index = t.GetFieldIndex(field);
    if (index < 0 || t.GetFieldType(index) != FT_STRING) return true;
    const int width = t.GetHeader().FieldWidth(index);
    if (text.size() <= static_cast<size_t>(width)) return true;
    error = field + " takes at most " + std::to_string(width) + " characters";
    return false;
}

bool CheckName(const CRecordTable& t, const std::string& field, const std::string& name, const std::string& what,
               std::string& error) {
    if (tw::Trim(name).empty()) {
        error = what + " name must not be empty";
        return false;
    }
    return FitsField(t, field, name, error);
}

}  // namespace accounts
