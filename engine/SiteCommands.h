// SITE and its subcommands: CHMOD (the permission bits of a file or directory) and HELP (their list).
#pragma once

#include <optional>
#include <string_view>

namespace tw {

class CControlSocket;

// The mode of SITE CHMOD: one to four octal digits naming permission bits only (0 to 0777); nothing for
// anything else (setuid, setgid or sticky bits, other characters, more digits).
std::optional<unsigned> ParsePermissionMode(std::string_view text);

// The multi-line 214 reply that lists the SITE subcommands (SITE HELP and HELP SITE).
void SendSiteHelp(CControlSocket& control);

}  // namespace tw
