// The archive, agenda and rights listings behind the document commands.
//
// ListeArchives finds the archive folder named by a waiting document's ".id" file and
// lists every archived document below it, newest first, after copying each one into the
// spool's cache folder, where the web front end fetches it. ListeAgenda turns one day file
// of an agenda into records. ChargeDroits loads the per-session rights list (the files a
// client may fetch), which the document commands extend with CodeNomFichier-encoded names.
// CopierFichiers1 and CopierFichiers2 copy into the cache and fall back to the source
// location when the copy cannot be trusted.
//
// Every step whose failure does not matter is skipped when it fails; missing folders and
// files give the results and message records described at each procedure. Texts that come
// from requests reach a path only after passing the checks of support/names.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace guichet {

class Guichet;
class Env;

// Appends one record per archived document of the archive of `numero`'s document:
// path without extension | extension | document length | ".info" length | title.
// Returns true when nothing could be listed: an invalid document number, no ".id" file
// in the validation folder of `idUtilisateur`, an empty first line, no archive folder.
bool ListeArchives(Guichet& g, std::vector<std::string>& col, const std::string& numero,
                   const std::string& idUtilisateur);

// Appends the records of one agenda day. `argument` is a date "dd/mm/yyyy" (today when
// empty), optionally followed by an agenda name in parentheses ("_" standing for a space);
// without a name the agenda is `defaut`. Returns true after "(Agenda inexistant)" (also for
// a name that cannot be a folder name) and after "(Agenda vide)" for a missing day file.
bool ListeAgenda(Guichet& g, std::vector<std::string>& col, const std::string& defaut,
                 const std::string& argument);

// Loads the rights list of the session `logon` into `droits` (non-blank lines, as written)
// and returns the path of its file. A non-empty list last changed more than a day ago is
// deleted first. The rights folder is created when missing.
std::string ChargeDroits(Guichet& g, const std::string& logon, std::vector<std::string>& droits);

// Encodes a file name for the rights list and the answers: a space, "&" and every
// character above 126 become "[" + two upper-case hexadecimal digits + "]".
std::string CodeNomFichier(std::string_view text);

// Copies `folder` + `name` (`folder` ends in "/") into the cache under the same name and
// returns where to serve it from: the cache, or the source when the copy failed or has
// another length ("CopierFichiers1 : bypass" is logged for the latter).
void CopierFichiers1(Guichet& g, const std::string& folder, const std::string& name,
                     std::string* outFolder, std::string* outName);

// Copies the archived document `x` + "." + `extension` and its `x` + ".info" into the
// cache, named after the document's modification time ("yyyymmddhhnnss_" + base name), and
// sets `*out` to the cache path without extension. The document itself is copied only
// when the cache does not already hold it with the same length; the ".info" always is.
// Falls back to `x` when a copy fails or has the wrong length.
void CopierFichiers2(Guichet& g, const std::string& x, std::string* out,
                     const std::string& extension);

// Sets the file's modification time to now (nothing when it does not exist), so that the
// daily purge of the cache judges a copy by the time it was made.
void ToucheFichier(Env& env, const std::string& path);

}  // namespace guichet
