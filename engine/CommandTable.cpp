#include "CommandTable.h"

#include <algorithm>
#include <array>

#include "engine/ControlSocket.h"

namespace tw {

namespace {

using C = CControlSocket;
constexpr bool kBeforeLogin = true;

// The rows of the first release come first, in their order; later commands follow them. TVFS (one
// "/"-separated path syntax for the whole tree) is announced with CWD.
const CommandRow kPlainCommands[] = {
    {"ABOR", false, "Abort transfer: ABOR", &C::OnAbor},
    {"APPE", true, "Append file to existing file: APPE file-name", &C::OnAppe},
    {"BYE", false, "Logout or break the connection: BYE", &C::OnQuit, kBeforeLogin},
    {"CDUP", false, "Change to parent directory: CDUP", &C::OnCdup},
    {"CWD", true, "Change working directory: CWD [directory-name]", &C::OnCwd, false, "TVFS"},
    {"DELE", true, "Delete file: DELE file-name", &C::OnDele},
    {"HELP", false, "Show help: HELP [command]", &C::OnHelp, kBeforeLogin},
    {"LIST", false, "Get directory listing: LIST [path-name]", &C::OnList},
    {"MKD", true, "Make directory: MKD path-name", &C::OnMkd},
    {"NLST", false, "List filenames only: NLST [path-name]", &C::OnNlst},
    {"NOOP", false, "Do nothing: NOOP", &C::OnNoop},
    {"PASS", true, "Supply a user password: PASS password", &C::OnPass, kBeforeLogin},
    {"PASV", false, "Set server in passive mode: PASV", &C::OnPasv},
    {"P@SW", false, "Set server in passive mode: P@SW", &C::OnPasv},
    {"PORT", true, "Specify the client port number: PORT a0,a1,a2,a3,a4,a5", &C::OnPort},
    {"PWD", false, "Get current directory: PWD", &C::OnPwd},
    {"QUIT", false, "Logout or break the connection: QUIT", &C::OnQuit, kBeforeLogin},
    {"REST", true, "Set restart transfer marker: REST marker", &C::OnRest, false, "REST STREAM"},
    {"RETR", true, "Get file: RETR file-name", &C::OnRetr},
    {"RMD", true, "Remove directory: RMD path-name", &C::OnRmd},
    {"RNFR", true, "Specify old path name of file to be renamed: RNFR file-name", &C::OnRnfr},
    {"RNTO", true, "Specify new path name of file to be renamed: RNTO file-name", &C::OnRnto},
    {"SIZE", true, "Get filesize: SIZE file-name", &C::OnSize, false, "SIZE"},
    {"STOR", true, "Store file: STOR file-name", &C::OnStor},
    {"SYST", false, "Get operating system type: SYST", &C::OnSyst, kBeforeLogin},
    {"TYPE", true, "Set filetype: TYPE [A | I]", &C::OnType},
    {"USER", true, "Supply a username: USER username", &C::OnUser, kBeforeLogin},
    {"XCWD", true, "Change working directory: XCWD [directory-name]", &C::OnCwd},
    {"XMKD", true, "Make directory: XMKD path-name", &C::OnMkd},
    {"XPWD", false, "Get current directory: XPWD", &C::OnPwd},
    {"XRMD", true, "Remove directory: XRMD path-name", &C::OnRmd},
    {"EPRT", true, "Specify an extended client address: EPRT |1|address|port|", &C::OnEprt, false, "EPRT"},
    {"EPSV", false, "Set server in extended passive mode: EPSV [1 | ALL]", &C::OnEpsv, false, "EPSV"},
    {"FEAT", false, "List the extensions of this server: FEAT", &C::OnFeat, kBeforeLogin},
    {"MDTM", true, "Get modification time: MDTM file-name", &C::OnMdtm, false, "MDTM"},
    {"MFMT", true, "Set modification time: MFMT YYYYMMDDHHMMSS file-name", &C::OnMfmt, false, "MFMT"},
    {"MLSD", false, "List directory with facts: MLSD [path-name]", &C::OnMlsd},
    {"MLST", false, "Get facts of one entry: MLST [path-name]", &C::OnMlst, false, "MLST"},
    {"OPTS", true, "Set an option: OPTS UTF8 ON | OPTS MLST facts", &C::OnOpts, kBeforeLogin, "UTF8"},
};

// The FTPS engine's table: the plain rows, then PROT and PBSZ.
const auto kSslCommands = [] {
    std::array<CommandRow, std::size(kPlainCommands) + 2> rows{};
    std::copy(std::begin(kPlainCommands), std::end(kPlainCommands), rows.begin());
    rows[std::size(kPlainCommands)] = {"PROT", true, "Using private data connection", &C::OnProt, false, "PROT"};
    rows[std::size(kPlainCommands) + 1] = {"PBSZ", true, "PBSZ", &C::OnPbsz, false, "PBSZ"};
    return rows;
}();

}  // namespace

std::span<const CommandRow> PlainCommandTable() { return kPlainCommands; }

std::span<const CommandRow> SslCommandTable() { return kSslCommands; }

const CommandRow* FindCommand(std::span<const CommandRow> table, const std::string& word) {
    for (const CommandRow& row : table)
        if (word == row.word) return &row;
    return nullptr;
}

}  // namespace tw
