#include "exchange/documents.h"

#include <algorithm>
#include <limits>
#include <unordered_set>
#include <vector>

#include "core/guichet.h"
#include "core/records.h"
#include "output/html.h"
#include "support/filenames.h"
#include "support/names.h"
#include "support/text.h"
#include "workflow/listings.h"
#include "workflow/stages.h"

namespace guichet {
namespace {

// The kinds of file of a waiting document that a client may fetch.
bool IsServedAttachment(const std::string& name) {
  static const char* const kKinds[] = {".txt", ".caf", ".urg",  ".jpg", ".bmp",
                                       ".png", ".pdf", ".hved", ".htm"};
  for (const char* kind : kKinds)
    if (ContainsNoCase(name, kind)) return true;
  return ContainsNoCase(name, ".spx") && !ContainsNoCase(name, ".spx.old");
}

// Appends to the rights file the entries the session does not hold yet.
void AddRights(Guichet& g, const std::string& logon, const std::vector<std::string>& entries) {
  std::vector<std::string> droits;
  const std::string path = ChargeDroits(g, logon, droits);
  std::unordered_set<std::string> held(droits.begin(), droits.end());
  std::string added;
  for (const std::string& e : entries)
    if (held.insert(e).second) added += e + std::string(kCrLf);
  // Appending nothing still creates the list, as opening it for appending would.
  Check(g.env.AppendFile(path, added));
}

// For a request that grants nothing: a stale rights list of the session is still
// dropped, as on every listing, but no list (nor its folder) is made.
void ClearStaleRights(Guichet& g, const std::string& logon) {
  if (!g.env.FolderExists(g.Spool("rights"))) return;
  std::vector<std::string> droits;
  ChargeDroits(g, logon, droits);
}

// Fields 1 to 5 of a row, each trimmed and encoded, joined by "|". The first field is a
// path encoded with CodeNomFichier first, unless the row is a message row.
std::string EncodeFiveFields(const std::string& row, bool first_is_path) {
  std::string out;
  for (int f = 1; f <= 5; ++f) {
    std::string field = Trim(Extract2(row, f));
    if (f == 1 && first_is_path) field = CodeNomFichier(field);
    if (f > 1) out += "|";
    out += Asc2Htm(field);
  }
  return out;
}

}  // namespace

std::string NomPoste(Guichet& g) { return g.env.HostName(); }

std::string ProchainNumeroTache(Guichet& g) {
  const std::string counter = g.Tasks("Count.txt");
  std::string c = "1";
  if (FileLen(g.env, counter) != 0) Check(ReadFirstLine(g.env, counter, &c));
  // A counter at the largest number (or past it) has no successor to store: handing the
  // number out would leave the counter where it is, or wrap it round to a negative one.
  const int64_t value = LeadingNumber(c);
  if (value == std::numeric_limits<int64_t>::max())
    throw Failure(W("Compteur de documents épuisé"));
  // The successor must be on disk before the number leaves: a number handed out while
  // the counter still holds it would be handed out again.
  Check(g.env.WriteFileAtomic(counter, Dec(value + 1) + std::string(kCrLf)));
  return c;
}

void CommandeAttachments(Guichet& g, Requete& r) {
  r.col.push_back(CommandHeader(r.command));
  const std::string number = Trim(r.SecondValue());
  if (IsValidDocumentNumber(number)) {
    // The validation folder of the user (a valid number holds no separator).
    const std::string folder = g.Tasks(StageFolder(kValidationsStage, r.idUtilisateur)) + "/";
    if (g.env.FolderExists(folder)) {
      std::vector<std::string> names;
      // A folder that cannot be listed answers with no attachment.
      IgnoreFailure(g.env.ListFiles(folder, DocumentFamilyPattern(number), &names));
      for (const std::string& name : names) {
        if (!IsServedAttachment(name)) continue;
        std::string served_folder, served_name;
        CopierFichiers1(g, folder, name, &served_folder, &served_name);
        int64_t length = FileLen(g.env, served_folder + served_name);
        r.col.push_back(
            ToLower(served_name + "|" + Dec(length) + "|" + served_folder + served_name));
      }
    }
    std::vector<std::string> entries;
    for (size_t i = 1; i < r.col.size(); ++i)
      entries.push_back(CodeNomFichier(Trim(Extract2(r.col[i], 3))));
    AddRights(g, r.logon, entries);
  } else {
    ClearStaleRights(g, r.logon);
  }

  std::vector<std::string> lines;
  lines.reserve(r.col.size());
  for (const std::string& row : r.col) lines.push_back(Asc2Htm(CodeNomFichier(Trim(row))));
  PrintLines(g.env, r.htmfile, lines);
}

void CommandeArchives(Guichet& g, Requete& r) {
  r.col.push_back(CommandHeader(r.command));
  const bool missing = ListeArchives(g, r.col, r.SecondValue(), r.idUtilisateur);

  std::vector<std::string> entries;
  for (size_t i = 1; i < r.col.size(); ++i) {
    const std::string row = Trim(r.col[i]);
    if (!row.empty() && row[0] == '(') continue;
    entries.push_back(CodeNomFichier(Extract2(row, 1) + ".info"));
    entries.push_back(CodeNomFichier(Extract2(row, 1) + "." + Extract2(row, 2)));
  }
  if (!entries.empty())
    AddRights(g, r.logon, entries);
  else
    ClearStaleRights(g, r.logon);

  std::vector<std::string> lines{Asc2Htm(r.col[0])};
  if (r.col.size() == 1) {
    lines.push_back(missing ? "(Dossier inexistant)||||" : "(Dossier vide)||||");
  } else {
    for (size_t i = 1; i < r.col.size(); ++i)
      lines.push_back(EncodeFiveFields(r.col[i], r.col[i].empty() || r.col[i][0] != '('));
  }
  PrintLines(g.env, r.htmfile, lines);
}

void CommandeAgenda(Guichet& g, Requete& r) {
  r.col.push_back(CommandHeader(r.command));
  const std::string second = Trim(r.SecondValue());
  const std::string name = IsDecimalNumber(second) ? second : r.idUtilisateur;
  const bool missing = ListeAgenda(g, r.col, name, r.ThirdValue());

  std::vector<std::string> lines{Asc2Htm(r.col[0])};
  if (r.col.size() == 1) {
    lines.push_back(missing ? "(Agenda inexistant)||||" : "(Agenda vide)||||");
  } else {
    for (size_t i = 1; i < r.col.size(); ++i) lines.push_back(EncodeFiveFields(r.col[i], false));
  }
  PrintLines(g.env, r.htmfile, lines);
}

void CommandeConfiguration(Guichet& g, Requete& r) {
  r.col = {CommandHeader(r.command),
           "B1=Today / Aujourd'hui",
           "B2=All / Tout",
           W("B3=Unused / Inutilisé"),
           W("B4=Unused / Inutilisé"),
           "Folder=" + NomPoste(g),
           "ExtensionPhoto=halvero",
           "CreationIdTypeDoc=sql",
           "Restart=1",
           "Fail=-301"};
  const std::string templates = g.Tasks("../Templates");
  // A folder that cannot be made has no catalogues, which the answer says.
  if (!g.env.FolderExists(templates)) IgnoreFailure(g.env.CreateFolder(templates));
  if (AdminFileExists(g.env, templates + "/Services.txt") &&
      AdminFileExists(g.env, templates + "/Typedocs.txt")) {
    r.col.push_back("-End-");
    r.col.push_back(CommandHeader("7"));
    for (std::string& line : ReadCatalogue(g.env, templates + "/Services.txt"))
      r.col.push_back(std::move(line));
    r.col.push_back("-End-");
    r.col.push_back(CommandHeader("8"));
    for (std::string& line : ReadCatalogue(g.env, templates + "/TypeDocs.txt"))
      r.col.push_back(std::move(line));
    r.col.push_back("-End-");
  }
  PrintAsc2HtmTrimCol(g.env, r.htmfile, r.col);
}

void CommandeGetCafLen(Guichet& g, Requete& r) {
  const std::string number = Trim(r.SecondValue());
  int64_t length = 0;
  if (IsValidDocumentNumber(number))
    length = FileLen(g.env, g.Spool("temp/" + DocumentFileName(number, ".caf")));
  PrintLines(g.env, r.htmfile, {CommandHeader("getcaflen"), Dec(length)});
}

void CommandeStep(Guichet& g, Requete& r) {
  PrintLines(g.env, r.htmfile, {CommandHeader(r.command), "5"});
}

void CommandeCreateTmp(Guichet& g, Requete& r) {
  const std::string n = ProchainNumeroTache(g);
  // The type file goes beside the number before the client learns it, so the move cycle
  // always finds it. A counter that held no number gives no type file.
  if (IsDecimalNumber(n) && IsValidDocumentNumber(n))
    Check(g.env.WriteFile(g.Tasks(DocumentFileName(n, ".typedoc")),
                          r.SecondValue() + std::string(kCrLf)));
  PrintLines(g.env, r.htmfile, {CommandHeader("createtmp"), n});
}

void CommandeFinishTmp(Guichet& g, Requete& r) {
  PrintLines(g.env, r.htmfile, {CommandHeader("finishtmp"), "ok"});
}

void CommandeStages(Guichet& g, Requete& r) {
  r.col.push_back(CommandHeader(r.command));
  const std::string number = Trim(r.SecondValue());
  // A value that names no document finds none (rather than every document).
  if (number.empty() || IsValidDocumentNumber(number)) {
    for (const DocumentEtape& d : ListeEtapes(g, r.idUtilisateur, number)) {
      // Free texts must not add fields.
      std::string nom = d.nom, libelle = d.libelle, code = d.code;
      for (std::string* t : {&nom, &libelle, &code}) std::replace(t->begin(), t->end(), '|', '!');
      r.col.push_back(d.numero + "|" + d.etape + "|" + Format(d.date, "yyyy-mm-dd hh:nn") + "|" +
                      nom + "|" + code + "|" + libelle + "|" + (d.urgent ? "1" : "0") + "|");
    }
  }
  if (r.col.size() == 1) r.col.push_back("(Aucun document)||||");
  PrintAsc2HtmTrimCol(g.env, r.htmfile, r.col);
}

}  // namespace guichet
