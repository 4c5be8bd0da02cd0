#include "engine/CommandTable.h"

#include <algorithm>
#include <array>

#include "engine/ControlSocket.h"

namespace tw {

namespace {

using C = CControlSocket;

// The rows of the first release come first, in their order; later commands follow them. TVFS (one
// "/"-separated path syntax for the whole tree) is announced with CWD.
const CommandRow kCommonCommands[] = {
    {"ABOR", false, "Abort transfer: ABOR", &C::OnAbor},
    {"APPE", true, "Append file to existing file: APPE file-name", &C::OnAppe},
    {"BYE", false, "Logout or break the connection: BYE", &C::OnQuit, kBeforeLogin},
    {"CDUP", false, "Change to parent directory: CDUP", &C::OnCdup},
    {"CWD", true, "Change working directory: CWD [directory-name]", &C::OnCwd, 0, "TVFS"},
    {"DELE", true, "Delete file: DELE file-name", &C::OnDele},
    {"HELP", false, "Show help: HELP [command]", &C::OnHelp, kBeforeLogin},
    {"LIST", false, "Get directory listing: LIST [path-name]", &C::OnList},
    {"MKD", true, "Make directory: MKD path-name", &C::OnMkd},
    {"NLST", false, "List filenames only: NLST [path-name]", &C::OnNlst},
    {"NOOP", false, "Do nothing: NOOP", &C::OnNoop},
    {"PASS", true, "Supply a user password: PASS password", &C::OnPass, kBeforeLogin},
    {"PASV", false, "Set server in passive mode: PASV", &C::OnPasv, kSetsDataEndpoint},
    {"P@SW", false, "Set server in passive mode: P@SW", &C::OnPasv, kSetsDataEndpoint},
    {"PORT", true, "Specify the client port number: PORT a0,a1,a2,a3,a4,a5", &C::OnPort, kSetsDataEndpoint},
    {"PWD", false, "Get current directory: PWD", &C::OnPwd},
    {"QUIT", false, "Logout or break the connection: QUIT", &C::OnQuit, kBeforeLogin},
    {"REST", true, "Set restart transfer marker: REST marker", &C::OnRest, 0, "REST STREAM"},
    {"RETR", true, "Get file: RETR file-name", &C::OnRetr},
    {"RMD", true, "Remove directory: RMD path-name", &C::OnRmd},
    {"RNFR", true, "Specify old path name of file to be renamed: RNFR file-name", &C::OnRnfr},
    {"RNTO", true, "Specify new path name of file to be renamed: RNTO file-name", &C::OnRnto},
    {"SIZE", true, "Get filesize: SIZE file-name", &C::OnSize, 0, "SIZE"},
    {"STOR", true, "Store file: STOR file-name", &C::OnStor},
    {"SYST", false, "Get operating system type: SYST", &C::OnSyst, kBeforeLogin},
    {"TYPE", true, "Set filetype: TYPE [A | I]", &C::OnType},
    {"USER", true, "Supply a username: USER username", &C::OnUser, kBeforeLogin},
    {"XCWD", true, "Change working directory: XCWD [directory-name]", &C::OnCwd},
    {"XMKD", true, "Make directory: XMKD path-name", &C::OnMkd},
    {"XPWD", false, "Get current directory: XPWD", &C::OnPwd},
    {"XRMD", true, "Remove directory: XRMD path-name", &C::OnRmd},
    {"EPRT", true, "Specify an extended client address: EPRT |1 or 2|address|port|", &C::OnEprt, kSetsDataEndpoint, "EPRT"},
    {"EPSV", false, "Set server in extended passive mode: EPSV [1 | 2 | ALL]", &C::OnEpsv, kSetsDataEndpoint, "EPSV"},
    {"FEAT", false, "List the extensions of this server: FEAT", &C::OnFeat, kBeforeLogin},
    {"MDTM", true, "Get modification time: MDTM file-name", &C::OnMdtm, 0, "MDTM"},
    {"MFMT", true, "Set modification time: MFMT YYYYMMDDHHMMSS file-name", &C::OnMfmt, 0, "MFMT"},
    {"MLSD", false, "List directory with facts: MLSD [path-name]", &C::OnMlsd},
    {"MLST", false, "Get facts of one entry: MLST [path-name]", &C::OnMlst, 0, "MLST"},
    {"OPTS", true, "Set an option: OPTS UTF8 ON | OPTS MLST facts", &C::OnOpts, kBeforeLogin, "UTF8"},
    {"MODE", true, "Set transfer mode: MODE S", &C::OnMode},
    {"STRU", true, "Set file structure: STRU F", &C::OnStru},
    {"SITE", true, "Site-specific commands: SITE CHMOD mode path-name | SITE HELP", &C::OnSite},
};

// Explicit TLS: served before login, as a login goes over the protected connection. CCC (back to a clear
// control connection) is not offered.
const CommandRow kExplicitTlsCommands[] = {
    {"AUTH", true, "Protect the control connection: AUTH TLS", &C::OnAuth, kBeforeLogin | kNeedsTls, "AUTH TLS"},
    {"PBSZ", true, "Set the protection buffer size: PBSZ 0", &C::OnPbsz, kBeforeLogin | kNeedsTls, "PBSZ"},
    {"PROT", true, "Set the data connection protection: PROT P | C", &C::OnProt, kBeforeLogin | kNeedsTls, "PROT"},
    {"CCC", false, "Clear the control connection: CCC", nullptr, kBeforeLogin | kNeedsTls},
};

const CommandRow kTlsListenerCommands[] = {
    {"PROT", true, "Using private data connection", &C::OnProt, 0, "PROT"},
    {"PBSZ", true, "PBSZ", &C::OnPbsz, 0, "PBSZ"},
};

template <size_t N, size_t M>
std::array<CommandRow, N + M> Join(const CommandRow (&first)[N], const CommandRow (&second)[M]) {
    std::array<CommandRow, N + M> rows{};
    std::copy(std::begin(first), std::end(first), rows.begin());
    std::copy(std::begin(second), std::end(second), rows.begin() + N);
    return rows;
}

const auto kPlainCommands = Join(kCommonCommands, kExplicitTlsCommands);
const auto kTlsCommands = Join(kCommonCommands, kTlsListenerCommands);

}  // namespace

std::span<const CommandRow> PlainCommandTable() { return kPlainCommands; }

std::span<const CommandRow> TlsListenerCommandTable() { return kTlsCommands; }

const CommandRow* FindCommand(std::span<const CommandRow> table, const std::string& word) {
    for (const CommandRow& row : table)
        if (word == row.word) return &row;
    return nullptr;
}

}  // namespace tw
