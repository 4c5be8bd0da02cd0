#include "tools/sdbtool/AccountCommands.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "accounts/AccountStore.h"

namespace tw {

namespace sdbtool {

int Fail(const std::string& message) {
    std::fprintf(stderr, "sdbtool: %s\n", message.c_str());
    return 1;
}

int Misuse(const std::string& message) {
    std::fprintf(stderr, "sdbtool: %s\n", message.c_str());
    return 2;
}

int Refused(const AccountStatus& status) {
    const bool usage = status.fault == AccountFault::Empty || status.fault == AccountFault::TooLong ||
                       status.fault == AccountFault::Invalid;
    return usage ? Misuse(status.text) : Fail(status.text);
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

std::string AbsoluteDirectory(const std::string& arg) {
    return NormalizeDirectory(std::filesystem::absolute(arg).lexically_normal().string());
}

}  // namespace sdbtool

}  // namespace tw
