#include "workflow/listings.h"

#include <cstdio>
#include <map>

#include "core/guichet.h"
#include "core/records.h"
#include "platform/env.h"
#include "support/filenames.h"
#include "support/names.h"
#include "support/text.h"

namespace guichet {
namespace {

// Creates a folder when it is missing; a failure is left to the steps that need it.
void EnsureFolder(Env& env, const std::string& path) {
  if (!env.FolderExists(path)) IgnoreFailure(env.CreateFolder(path));
}

std::string ArchivesFolder(Guichet& g) { return g.Tasks("../Archives"); }
std::string AgendasFolder(Guichet& g) { return g.Tasks("../Agendas"); }
std::string CacheFolder(Guichet& g) { return g.Spool("cache"); }
std::string RightsFolder(Guichet& g) { return g.Spool("rights"); }

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && EqualsNoCase(s.substr(s.size() - suffix.size()), suffix);
}

// One archived document found while listing.
struct Archived {
  std::string x;  // path without extension
  std::string extension;
  std::string title;
  std::string date;  // the 10-character "DateDoc=" text
};

// The extensions (lower case, listing order) of the companion files of every base name of
// one folder: "name.ext" is a companion of "name.info" when its text before the last "."
// is the base name, without regard to case. Listing the folder once keeps the archive
// listing linear in the number of files.
using Companions = std::map<std::string, std::vector<std::string>>;

const Companions& CompanionsOf(Env& env, const std::string& folder,
                               std::map<std::string, Companions>& cache) {
  auto it = cache.find(folder);
  if (it != cache.end()) return it->second;
  Companions& c = cache[folder];
  std::vector<std::string> names;
  if (env.ListFiles(folder, "*", &names).ok()) {
    for (const std::string& name : names) {
      size_t dot = name.find_last_of('.');
      if (dot == std::string::npos) continue;
      std::string ext = ToLower(name.substr(dot + 1));
      if (ext == "info") continue;
      c[ToUpper(name.substr(0, dot))].push_back(ext);
    }
  }
  return c;
}

// The document's extension among its companions: "pdf", else "wav", else "txt", else the
// last one listed; empty when there is none.
std::string DocumentExtension(const std::vector<std::string>& exts) {
  for (const char* preferred : {"pdf", "wav", "txt"})
    for (const std::string& e : exts)
      if (e == preferred) return e;
  return exts.empty() ? std::string() : exts.back();
}

// Reads the title and the date of an ".info" file. Reading stops at the first valid
// "DateDoc=" line; false when there is none.
bool ReadInfo(Env& env, const std::string& path, std::string* title, std::string* date) {
  static const std::string kDesignation = W("Désignation=");
  static const std::string kDateDoc = "DateDoc=";
  std::vector<std::string> lines;
  if (!ReadLines(env, path, &lines).ok()) return false;
  title->clear();
  for (const std::string& line : lines) {
    if (line.size() >= 13 && StartsWithNoCase(line, kDesignation)) {
      *title = line.substr(kDesignation.size());
    } else if (line.size() == 18 && StartsWithNoCase(line, kDateDoc)) {
      *date = line.substr(kDateDoc.size());
      return true;
    }
  }
  return false;
}

// "first word" and "rest" of a text: split at its first space when that space is not
// the first character, each part trimmed; otherwise the whole text is the first word.
void SplitFirstWord(const std::string& text, std::string* first, std::string* rest) {
  size_t sp = text.find(' ');
  if (sp != std::string::npos && sp >= 1) {
    *first = Trim(text.substr(0, sp));
    *rest = Trim(text.substr(sp));
  } else {
    *first = text;
    rest->clear();
  }
}

// True for an appointment line: "hh:mm " then the text (first ":" third, first space sixth).
bool IsAppointment(const std::string& line) {
  return line.size() >= 7 && line.find(':') == 2 && line.find(' ') == 5;
}

std::string FirstFourFields(const std::string& record) {
  std::string t = Trim(record);
  return Extract2(t, 1) + "|" + Extract2(t, 2) + "|" + Extract2(t, 3) + "|" + Extract2(t, 4);
}

}  // namespace

bool ListeArchives(Guichet& g, std::vector<std::string>& col, const std::string& numero,
                   const std::string& idUtilisateur) {
  Env& env = g.env;
  const std::string number = Trim(numero);
  if (!IsValidDocumentNumber(number)) return true;

  std::string line;
  const std::string id_file = g.Tasks(StageFolder(kValidationsStage, idUtilisateur) + "/" +
                                      DocumentFileName(number, ".id"));
  if (!ReadFirstLine(env, id_file, &line).ok()) return true;
  // The same name the archive batch file of publishing uses.
  const std::string name = ArchiveName(line);
  if (name.empty()) return true;

  const std::string archives = ArchivesFolder(g);
  EnsureFolder(env, archives);
  const std::string folder = archives + "/" + name;
  if (!env.FolderExists(folder)) return true;

  std::vector<std::string> infos;
  ListerFichiers(env, folder + "/", "*.info", infos);
  ListerFichiersRecursif(env, folder + "/", "*.info", infos);

  std::vector<Archived> found;
  std::map<std::string, Companions> companions;
  for (const std::string& path : infos) {
    if (path.size() < 6 || !EndsWithNoCase(path, ".info")) continue;
    Archived a;
    a.x = path.substr(0, path.size() - 5);
    const Companions& c = CompanionsOf(env, DossierParent(a.x), companions);
    auto exts = c.find(ToUpper(NomFichier(a.x)));
    if (exts == c.end() || exts->second.empty()) continue;
    a.extension = DocumentExtension(exts->second);
    if (!ReadInfo(env, path, &a.title, &a.date)) continue;
    found.push_back(std::move(a));
  }

  // Newest first by the date text; among equal dates the one met later comes first, as
  // inserting one after the other with TriParInsertionInverse would give. The records
  // sorted carry the date and an index only, so ";" in a title or a path cannot shift
  // the field the order is taken from.
  std::vector<std::string> keys;
  keys.reserve(found.size());
  for (size_t i = 0; i < found.size(); ++i)
    keys.push_back(ReplaceAll(found[i].date, ";", ",") + ";" + Dec(static_cast<int64_t>(i)));
  for (const std::string& key : SortAsInserted(std::move(keys), 1, RecordOrder::kDescending)) {
    const Archived& a = found[static_cast<size_t>(LeadingNumber(Extract(key, 2)))];
    int64_t length = FileLen(env, a.x + "." + a.extension);
    int64_t info_length = FileLen(env, a.x + ".info");
    std::string out;
    CopierFichiers2(g, a.x, &out, a.extension);
    col.push_back(out + "|" + a.extension + "|" + Dec(length) + "|" + Dec(info_length) + "|" +
                  ReplaceAll(a.title, "|", "!"));
  }
  return false;
}

bool ListeAgenda(Guichet& g, std::vector<std::string>& col, const std::string& defaut,
                 const std::string& argument) {
  Env& env = g.env;
  std::string arg = argument;
  std::string name;
  size_t paren = arg.find('(');
  if (paren != std::string::npos && paren >= 1) {
    name = Trim(arg.substr(paren));
    arg = Trim(arg.substr(0, paren));
    name = ReplaceAll(ReplaceAll(name, "(", ""), ")", "");
  }
  if (name.empty()) name = defaut;
  name = ReplaceAll(name, "_", " ");

  if (arg.empty()) arg = Format(env.Now(), "dd/mm/yyyy");
  std::optional<DateTime> date = ParseDate(arg);
  if (!date) {
    col.push_back("(Date '" + arg + "' non valide)");
    return false;
  }
  const std::string day = Format(*date, "yyyy-mm-dd");

  // A name that cannot be a folder name is an agenda that does not exist.
  if (!IsValidNamePart(name)) {
    col.push_back("(Agenda inexistant)");
    return true;
  }
  const std::string agendas = AgendasFolder(g);
  EnsureFolder(env, agendas);
  const std::string folder = agendas + "/" + name;
  if (!env.FolderExists(folder)) {
    col.push_back("(Agenda inexistant)");
    return true;
  }
  const std::string day_file = folder + "/" + day + ".txt";
  if (!env.FileExists(day_file)) {
    col.push_back("(Agenda vide)");
    return true;
  }

  std::vector<std::string> lines;
  IgnoreFailure(ReadLines(env, day_file, &lines));  // a day that cannot be read lists empty
  std::vector<std::string> work;
  work.reserve(lines.size() + 1);
  for (std::string line : lines) {
    for (char& c : line)
      if (c == '\t' || c == '\xA0') c = ' ';
    if (IsAppointment(line)) {
      std::string first, comment;
      SplitFirstWord(line.substr(6), &first, &comment);
      work.push_back(first + "|" + comment + "|" + line.substr(0, 5) + "|0");
    } else {
      work.push_back("|" + line + "||0");
    }
  }
  if (work.empty()) {
    col.push_back("(Agenda vide)");
    return false;
  }
  col.push_back(FirstFourFields(name + "|:||0"));
  for (const std::string& record : work) col.push_back(FirstFourFields(record));
  return false;
}

std::string ChargeDroits(Guichet& g, const std::string& logon, std::vector<std::string>& droits) {
  Env& env = g.env;
  const std::string folder = RightsFolder(g);
  EnsureFolder(env, folder);
  const std::string path = folder + "/~" + logon + ".lst";

  FileInfo info;
  if (env.GetFileInfo(path, &info).ok() && info.size != 0 &&
      DiffSeconds(info.modified, env.Now()) > 24 * 3600) {
    // A stale list that stays is rewritten whole below.
    IgnoreFailure(env.DeleteFile(path));
  }

  droits.clear();
  std::vector<std::string> lines;
  if (env.FileExists(path) && ReadLines(env, path, &lines).ok()) {
    for (std::string& line : lines)
      if (!IsBlank(line)) droits.push_back(std::move(line));
  }
  return path;
}

std::string CodeNomFichier(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c > 126 || c == ' ' || c == '&') {
      char buf[5];
      std::snprintf(buf, sizeof buf, "[%02X]", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

void CopierFichiers1(Guichet& g, const std::string& folder, const std::string& name,
                     std::string* outFolder, std::string* outName) {
  Env& env = g.env;
  *outFolder = folder;
  *outName = name;
  const std::string cache = CacheFolder(g);
  EnsureFolder(env, cache);
  const std::string source = folder + name;
  const std::string copy = cache + "/" + name;
  if (!env.CopyFileUnsynced(source, copy).ok()) return;
  FileInfo src, dst;
  if (!env.GetFileInfo(source, &src).ok()) return;
  if (env.GetFileInfo(copy, &dst).ok() && dst.size == src.size) {
    ToucheFichier(env, copy);
    *outFolder = cache + "/";
    return;
  }
  g.EcritLog("CopierFichiers1 : bypass");
}

void CopierFichiers2(Guichet& g, const std::string& x, std::string* out,
                     const std::string& extension) {
  Env& env = g.env;
  const std::string folder = DossierParent(x);
  const std::string name = NomFichier(x);
  const std::string source = folder + "/" + name;
  *out = source;

  FileInfo doc_info;
  if (!env.GetFileInfo(source + "." + extension, &doc_info).ok()) return;
  const std::string cache = CacheFolder(g);
  const std::string c = cache + "/" + Format(doc_info.modified, "yyyymmddhhnnss") + "_" + name;

  const int64_t info = FileLen(env, source + ".info");
  const int64_t doc = FileLen(env, source + "." + extension);
  const int64_t cached_doc = FileLen(env, c + "." + extension);

  EnsureFolder(env, cache);
  if (!env.CopyFileUnsynced(source + ".info", c + ".info").ok()) return;
  ToucheFichier(env, c + ".info");
  if (doc != cached_doc) {
    if (!env.CopyFileUnsynced(source + "." + extension, c + "." + extension).ok()) return;
    ToucheFichier(env, c + "." + extension);
  }

  if (FileLen(env, c + ".info") == info && FileLen(env, c + "." + extension) == doc) {
    *out = c;
  } else {
    g.EcritLog("CopierFichiers2 : bypass");
  }
}

void ToucheFichier(Env& env, const std::string& path) {
  if (!env.FileExists(path)) return;
  // Only the file's date: a document whose date stays old is merely listed as older.
  IgnoreFailure(env.SetModified(path, env.Now()));
}

}  // namespace guichet
