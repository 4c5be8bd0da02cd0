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
    // The command sets up the next data connection (PASV, PORT and their kin): refused while a listing or
    // transfer runs, which it would otherwise cut off.
    bool setsDataEndpoint = false;
};

// The 31 rows of the plain engine.
std::span<const CommandRow> PlainCommandTable();
// The FTPS engine's 33 rows: the plain ones, then PROT and PBSZ.
std::span<const CommandRow> SslCommandTable();

// First row whose word equals `word` exactly, or nullptr.
const CommandRow* FindCommand(std::span<const CommandRow> table, const std::string& word);

}  // namespace tw
