// The formatted lists: a command that begins with a digit asks for a list of
// "|"-separated records that the web front end turns into its own page. Lists 1 and 2
// carry the documents of the user's validation folder (those dictated today, or all of
// them), oldest first, with their name, date, type label and number; any other number
// gives the header record alone. A language tag after the number ("1en") switches the
// month abbreviations to English.
#pragma once

#include <string>
#include <vector>

#include "platform/datetime.h"

namespace guichet {

class Guichet;

// Creates `htmfile` empty, then calls AppendFormatted. A failure to create the file is
// raised to the dispatcher.
void PrintFormatted(Guichet& g, const std::string& htmfile, const std::string& command,
                    const std::string& logon, const std::string& idUtilisateur,
                    const std::string& idservice, const std::string& nomutilisateur,
                    const std::vector<std::string>& p, std::vector<std::string>& col);

// Appends the records of the list to `col`, writes the whole of `col` (trimmed and
// encoded, one a line) to the end of `htmfile`, and counts the request. Missing folders,
// files and unreadable values are skipped, so the answer always holds the header record;
// only a failure to write the answer is raised to the dispatcher.
void AppendFormatted(Guichet& g, const std::string& htmfile, const std::string& command,
                     const std::string& logon, const std::string& idUtilisateur,
                     const std::string& idservice, const std::string& nomutilisateur,
                     const std::vector<std::string>& p, std::vector<std::string>& col);

// The month abbreviation of month 1 to 12 (Windows-1252), French or English; "" for any
// other number.
std::string MonthAbbreviation(int month, bool english);

}  // namespace guichet
