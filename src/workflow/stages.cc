#include "workflow/stages.h"

#include <algorithm>
#include <map>
#include <set>

#include "core/guichet.h"
#include "core/records.h"
#include "support/filenames.h"
#include "support/names.h"
#include "support/text.h"
#include "workflow/stage_files.h"

namespace guichet {
namespace {

// The move queue is read whole; a queue larger than this is not a real one and counts
// as unreadable (the move cycle empties it every few seconds).
constexpr int64_t kMaxQueueBytes = 16 * 1024 * 1024;

// The endings whose last change dates a dictation, in order of preference.
constexpr const char* kDictationEndings[] = {".caf", ".spx", ".wav", ".spx.old"};

// The files of each document of `folder` ("hvr_" + number + ending), by number; with a
// number, that document's only. A folder that cannot be listed has none.
std::map<std::string, std::vector<std::string>> Families(Guichet& g, const std::string& folder,
                                                         const std::string& numero) {
  std::map<std::string, std::vector<std::string>> families;
  if (!g.env.FolderExists(folder)) return families;
  std::vector<std::string> names;
  const std::string pattern = numero.empty() ? DocumentsPattern() : DocumentFamilyPattern(numero);
  if (!g.env.ListFiles(folder, pattern, &names).ok()) return families;
  for (const std::string& name : names) {
    std::string number, ending;
    if (!ParseDocumentFileName(name, &number, &ending)) continue;
    if (!numero.empty() && number != numero) continue;
    families[number].push_back(ending);
  }
  return families;
}

std::string FirstLineOrEmpty(Env& env, const std::string& path) {
  std::string line;
  if (FileLen(env, path) <= 0 || !ReadFirstLine(env, path, &line).ok()) return {};
  return line;
}

bool HasEnding(const std::vector<std::string>& endings, const char* ending) {
  return std::any_of(endings.begin(), endings.end(),
                     [&](const std::string& e) { return EqualsNoCase(e, ending); });
}

}  // namespace

DocumentEtape DescribeFamily(Env& env, const std::string& folder, const std::string& number,
                             const std::vector<std::string>& endings, const std::string& stage,
                             const std::vector<std::string>& types) {
  DocumentEtape d;
  d.numero = number;
  d.etape = stage;
  const auto file = [&](const std::string& ending) {
    return folder + "/" + DocumentFileName(number, ending);
  };

  bool dated = false;
  for (const char* ending : kDictationEndings) {
    FileInfo info;
    if (HasEnding(endings, ending) && env.GetFileInfo(file(ending), &info).ok()) {
      d.date = info.modified;
      dated = true;
      break;
    }
  }
  if (!dated) {
    for (const std::string& ending : endings) {
      FileInfo info;
      if (env.GetFileInfo(file(ending), &info).ok() && d.date < info.modified)
        d.date = info.modified;
    }
  }

  if (HasEnding(endings, ".id")) d.nom = Trim(FirstLineOrEmpty(env, file(".id")));
  if (HasEnding(endings, ".typedoc")) d.code = Trim(FirstLineOrEmpty(env, file(".typedoc")));
  if (!d.code.empty()) {
    for (const std::string& type : types) {
      if (Trim(Extract2(type, 2)) == d.code) {
        d.libelle = Trim(Extract2(type, 4));
        break;
      }
    }
  }
  d.urgent =
      HasEnding(endings, ".URGENT!") ||
      (HasEnding(endings, ".urg") && ContainsNoCase(FirstLineOrEmpty(env, file(".urg")), "urgent"));
  return d;
}

std::vector<std::string> ReadTypeTable(Env& env, const std::string& templates) {
  if (AdminFileExists(env, templates + "/Services.txt") &&
      AdminFileExists(env, templates + "/Typedocs.txt"))
    return ReadCatalogue(env, templates + "/TypeDocs.txt");
  return {};
}

namespace {

// The document numbers of the author's entries in the move queue, in queue order, once.
std::vector<std::string> QueuedNumbers(Guichet& g, const std::string& author,
                                       const std::string& numero) {
  std::vector<std::string> numbers;
  std::string content;
  const std::string queue = MoveQueuePath(g);
  if (!g.env.FileExists(queue) || !g.env.ReadFile(queue, &content, kMaxQueueBytes).ok())
    return numbers;
  std::set<std::string> seen;
  for (const std::string& line : SplitLines(content)) {
    const std::string id = Extract(line, 1);
    if (Extract(line, 2) != author || !IsValidDocumentNumber(id)) continue;
    if (!numero.empty() && id != numero) continue;
    if (seen.insert(id).second) numbers.push_back(id);
  }
  return numbers;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Newer first; on the same minute, the larger number first.
bool Newer(const DocumentEtape& a, const DocumentEtape& b) {
  if (a.date.Serial() != b.date.Serial()) return b.date < a.date;
  if (AllDigits(a.numero) && AllDigits(b.numero) && a.numero.size() != b.numero.size())
    return a.numero.size() > b.numero.size();
  return a.numero > b.numero;
}

}  // namespace

std::vector<DocumentEtape> ListeEtapes(Guichet& g, const std::string& author,
                                       const std::string& numero) {
  std::vector<DocumentEtape> documents;
  // An author that cannot name a folder has none; a number that cannot name a file has
  // no document.
  if (!IsValidNamePart(author)) return documents;
  if (!numero.empty() && !IsValidDocumentNumber(numero)) return documents;

  const std::vector<std::string> types = ReadTypeTable(g.env, g.Tasks("../Templates"));

  // Queued: still in the tasks folder, with a queue entry of the author.
  for (const std::string& number : QueuedNumbers(g, author, numero)) {
    auto families = Families(g, g.TasksFolder, number);
    auto family = families.find(number);
    if (family == families.end()) continue;
    documents.push_back(
        DescribeFamily(g.env, g.TasksFolder, number, family->second, kQueuedStage, types));
  }

  for (std::string_view stage :
       {kTranscriptionsStage, kValidationsStage, kPublicationsStage, kRecycleBinStage}) {
    const std::string folder = g.Tasks(StageFolder(stage, author));
    for (const auto& [number, endings] : Families(g, folder, numero))
      documents.push_back(
          DescribeFamily(g.env, folder, number, endings, std::string(stage), types));
  }

  std::stable_sort(documents.begin(), documents.end(), Newer);
  return documents;
}

}  // namespace guichet
