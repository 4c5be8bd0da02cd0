// The line formats of LIST, NLST, MLSD and MLST.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "accounts/Accounts.h"
#include "platform/DirectoryList.h"

namespace tw {

// " Mmm dd hh:mm " when the file time is at most 356 whole days before `now` (the future included),
// otherwise " Mmm dd yyyy "; local time, English month names.
std::string FormatListDate(std::time_t fileTime, std::time_t now);

// One LIST line, CR LF included: type and mode, " 1 user group ", the size right-aligned to 14, the date,
// the name with its control bytes shown as "?" (as NLST shows it too).
std::string ListLine(const DirEntry& entry, std::time_t now);

// Words of a LIST or NLST argument that begin with "-" are options and are skipped; the rest is the path.
std::string ListPathArgument(const std::string& argument);

// The facts of MLSD and MLST as bits of a selection (OPTS MLST); all are selected at first.
enum MlstFact : unsigned { FACT_TYPE = 1, FACT_SIZE = 2, FACT_MODIFY = 4, FACT_PERM = 8, FACT_ALL = 15 };

// The FEAT line: "MLST type*;size*;modify*;perm*;", a "*" after each selected fact.
std::string MlstFeature(unsigned selected);
// The facts named in an OPTS MLST list ("type;size;", any case); unknown names are left out.
unsigned ParseMlstFacts(std::string_view list);
// The selected facts as a list: "type;size;".
std::string MlstFactNames(unsigned selected);
// The perm fact's letters for an entry with `rights`: a d f r w for a file, c d e f l m p for a
// directory. The directory of a virtual folder (or the root) is never deleted or renamed.
std::string PermLetters(const RightsSet& rights, bool isDirectory, bool folderRoot);
// "type=file;size=1;modify=20260101120000;perm=rw; name" with the selected facts, without CR LF.
std::string MlstLine(const DirEntry& entry, const std::string& perm, unsigned selected, std::string_view name);

}  // namespace tw
