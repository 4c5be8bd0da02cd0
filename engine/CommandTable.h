// The command table: command word, needs-argument flag, help text and handler, in dispatch order.
#pragma once

#include <span>
#include <string>

namespace tw {

class CControlSocket;

struct CommandRow {
    const char* word;  // upper case
    bool needsArgument;
    const char* help;
    // nullptr: the command is known but not served; it is answered "502 Command not implemented.".
    void (CControlSocket::*handler)(const std::string& argument);
    // Served before login too.
    bool beforeLogin = false;
    // The line this command adds to FEAT, or nullptr (FEAT shows the MLST line with the selected facts).
    const char* feature = nullptr;
};

// The rows of the plain engine.
std::span<const CommandRow> PlainCommandTable();
// The FTPS engine's rows: the plain ones, then PROT and PBSZ.
std::span<const CommandRow> SslCommandTable();

// First row whose word equals `word` exactly, or nullptr.
const CommandRow* FindCommand(std::span<const CommandRow> table, const std::string& word);

}  // namespace tw
