// The command table: command word, needs-argument flag, help text and handler, in dispatch order.
#pragma once

#include <span>
#include <string>

namespace tw {

class CControlSocket;

enum CommandFlag : unsigned {
    kBeforeLogin = 1,  // served before login too
    // Sets up the next data connection (PASV, PORT and their kin): refused while a listing or transfer
    // runs, which it would otherwise cut off.
    kSetsDataEndpoint = 2,
    // FEAT and HELP announce it only where TLS can be set up (the certificate files have loaded).
    kNeedsTls = 4,
};

struct CommandRow {
    const char* word;  // upper case
    bool needsArgument;
    const char* help;
    // nullptr: the command is known but not served; it is answered "502 Command not implemented.".
    void (CControlSocket::*handler)(const std::string& argument);
    // CommandFlag bits.
    unsigned flags = 0;
    // The line this command adds to FEAT, or nullptr (FEAT shows the MLST line with the selected facts).
    const char* feature = nullptr;

    bool Has(unsigned flag) const { return (flags & flag) != 0; }
};

// The plain listener's rows: the common ones, then AUTH, PBSZ, PROT and CCC (explicit TLS).
std::span<const CommandRow> PlainCommandTable();
// The TLS listener's rows: the common ones, then PROT and PBSZ.
std::span<const CommandRow> TlsListenerCommandTable();

// First row whose word equals `word` exactly, or nullptr.
const CommandRow* FindCommand(std::span<const CommandRow> table, const std::string& word);

}  // namespace tw
