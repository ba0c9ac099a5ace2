#include "output/formatted.h"

#include <unordered_set>

#include "core/guichet.h"
#include "core/records.h"
#include "core/request.h"
#include "output/html.h"
#include "support/filenames.h"
#include "support/text.h"

namespace guichet {
namespace {

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Document numbers of the files "hvr_<digits>" + extension of `folder` (the extension in
// any case), in listing order.
void CollectNumbers(Guichet& g, const std::string& folder, const std::string& extension,
                    std::vector<std::string>& numbers, std::unordered_set<std::string>& seen) {
  std::vector<std::string> names;
  if (!g.env.ListFiles(folder, DocumentsPattern(extension), &names).ok()) return;
  for (const std::string& name : names) {
    std::string n, ending;
    if (!ParseDocumentFileName(name, &n, &ending) || !EqualsNoCase(ending, extension)) continue;
    if (AllDigits(n) && seen.insert(n).second) numbers.push_back(n);
  }
}

// The first line of a file, or "" when it is missing or unreadable.
std::string FirstLineOrEmpty(Guichet& g, const std::string& path) {
  std::string line;
  if (!g.env.FileExists(path) || !ReadFirstLine(g.env, path, &line).ok()) return {};
  return line;
}

}  // namespace

std::string MonthAbbreviation(int month, bool english) {
  static const char* const kFrench[] = {"Janv", "Févr", "Mars", "Avr", "Mai", "Juin",
                                        "Juil", "Août", "Sep",  "Oct", "Nov", "Déc"};
  static const char* const kEnglish[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (month < 1 || month > 12) return {};
  return english ? std::string(kEnglish[month - 1]) : W(kFrench[month - 1]);
}

void PrintFormatted(Guichet& g, const std::string& htmfile, const std::string& command,
                    const std::string& logon, const std::string& idUtilisateur,
                    const std::string& idservice, const std::string& nomutilisateur,
                    const std::vector<std::string>& p, std::vector<std::string>& col) {
  Check(g.env.WriteAnswer(htmfile, "", false));
  AppendFormatted(g, htmfile, command, logon, idUtilisateur, idservice, nomutilisateur, p, col);
}

void AppendFormatted(Guichet& g, const std::string& htmfile, const std::string& command,
                     const std::string& /*logon*/, const std::string& idUtilisateur,
                     const std::string& /*idservice*/, const std::string& /*nomutilisateur*/,
                     const std::vector<std::string>& /*p*/, std::vector<std::string>& col) {
  Env& env = g.env;

  // The list number is the leading run of digits; everything from the first non-digit
  // on is the language tag.
  size_t digits = 0;
  while (digits < command.size() && command[digits] >= '0' && command[digits] <= '9') ++digits;
  const std::string list = digits > 0 ? command.substr(0, digits) : command;
  std::string tag = command.substr(digits);
  if (ToLower(tag) == "fr") tag.clear();
  const bool english =
      !tag.empty() && !EqualsNoCase(tag.substr(0, std::min<size_t>(2, tag.size())), "fr");

  const std::string templates = g.Tasks("../Templates");
  // A folder that cannot be made has no catalogues: the lists come out empty.
  if (!env.FolderExists(templates)) IgnoreFailure(env.CreateFolder(templates));
  std::vector<std::string> types;
  if (AdminFileExists(env, templates + "/Services.txt") &&
      AdminFileExists(env, templates + "/Typedocs.txt"))
    types = ReadCatalogue(env, templates + "/TypeDocs.txt");

  col.push_back(CommandHeader(list));

  const std::string folder = g.Tasks(StageFolder(kValidationsStage, idUtilisateur)) + "/";
  if ((list == "1" || list == "2") && env.FolderExists(folder)) {
    std::vector<std::string> numbers;
    std::unordered_set<std::string> seen;
    CollectNumbers(g, folder, ".pdf", numbers, seen);
    CollectNumbers(g, folder, ".txt", numbers, seen);

    // Dated records "number;yyyy-mm-dd", ascending by date; as inserting them last-first
    // with TriParInsertion would give, equal dates keep the order of collection.
    std::vector<std::string> dated;
    for (auto n = numbers.rbegin(); n != numbers.rend(); ++n) {
      FileInfo info;
      if (env.GetFileInfo(folder + DocumentFileName(*n, ".caf"), &info).ok())
        dated.push_back(*n + ";" + Format(info.modified, "yyyy-mm-dd"));
    }
    dated = SortAsInserted(std::move(dated), 2, RecordOrder::kAscending);

    const std::string today = Format(env.Now(), "yyyy-mm-dd");
    for (const std::string& record : dated) {
      const std::string number = Extract(record, 1);
      const std::string date = Extract(record, 2);
      if (list != "2" && date != today) continue;
      const std::string month =
          MonthAbbreviation(static_cast<int>(LeadingNumber(date.substr(5, 2))), english);
      const std::string day = date.substr(8, 2);

      std::string first, rest;
      const std::string name = FirstLineOrEmpty(g, folder + DocumentFileName(number, ".id"));
      size_t sp = name.find(' ');
      if (sp != std::string::npos && sp >= 1) {
        rest = Trim(name.substr(sp));
        first = Trim(name.substr(0, sp));
      } else {
        first = Trim(name);
      }

      const std::string code = FirstLineOrEmpty(g, folder + DocumentFileName(number, ".typedoc"));
      std::string label;
      for (const std::string& type : types) {
        if (Extract2(type, 2) == code) {
          label = Trim(Extract2(type, 4));
          break;
        }
      }
      col.push_back(first + "|" + rest + "|" + date + "|V:" + label + " " + day + " " + month +
                    "|" + number + "|5|");
    }
  }

  AppendAsc2HtmTrimCol(env, htmfile, col);
  g.IncCompte();
}

}  // namespace guichet
