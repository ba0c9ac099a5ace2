// The writers of answer files and the text-to-HTML encoder they share.
//
// Every answer is a text file of Windows-1252 lines ending in CR LF. The writers build
// the whole content in memory and write it in one call; a failure (a file that cannot be
// written) is raised as a Failure to the dispatcher, which answers with its error page.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace guichet {

// Rebuilds the entity table (129 entries). Called by the window load; the encoder also
// builds it on first use.
void InitEntites();
// Number of entries of the entity table (for checks).
int EntityCount();

// Letters and digits unchanged; characters with an entity become the entity; other
// printable ASCII unchanged; everything else dropped.
std::string Asc2Htm(std::string_view text);
// "&nbsp;" for an empty text or the encoded null date, else the text unchanged.
std::string NbspSiVide(std::string_view text);

// Page frame lines, appended to `out`.
void PrintBodyTop(std::string& out, std::string_view titre);
void PrintBodyEnd(std::string& out);

// Replaces `htmfile` with the ten-line error page carrying `e`.
void PrintBodyErr(Env& env, const std::string& htmfile, std::string_view e);
// Replaces (Print) or extends (Append) `htmfile` with the entries of `col`, each trimmed
// and encoded, one a line. An empty list gives an empty file.
void PrintAsc2HtmTrimCol(Env& env, const std::string& htmfile, const std::vector<std::string>& col);
void AppendAsc2HtmTrimCol(Env& env, const std::string& htmfile,
                          const std::vector<std::string>& col);
// Appends `s` as one line, unencoded.
void AppendString(Env& env, const std::string& htmfile, std::string_view s);
// Replaces `htmfile` with `lines`, each written as given (the two-line answers).
void PrintLines(Env& env, const std::string& htmfile, const std::vector<std::string>& lines);

}  // namespace guichet
