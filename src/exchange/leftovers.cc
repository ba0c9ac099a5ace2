#include "exchange/leftovers.h"

#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/guichet.h"
#include "core/records.h"
#include "platform/env.h"
#include "support/filenames.h"
#include "support/text.h"

namespace guichet {
namespace {

// Seconds since the file's last change; -1 when it cannot be read (gone meanwhile).
int64_t AgeOf(Guichet& g, const std::string& path, const DateTime& now) {
  FileInfo info;
  if (!g.env.GetFileInfo(path, &info).ok()) return -1;
  return DiffSeconds(info.modified, now);
}

// Moves a file into "post_err" under the current time "yyyymmddhhnn_" and logs it. A
// rename that cannot cross file systems becomes a flushed copy and a removal.
bool SetAsideFile(Guichet& g, const std::string& path, const std::string& what) {
  const std::string err = g.Spool("post_err");
  IgnoreFailure(g.env.CreateFolder(err));  // the move below fails and is logged
  const std::string to = err + "/" + Format(g.env.Now(), "yyyymmddhhnn") + "_" + NomFichier(path);
  Status s = g.env.RenameFile(path, to);
  if (!s.ok() && g.env.FileExists(path)) {
    s = g.env.CopyFile(path, to);
    if (s.ok()) s = g.env.DeleteFile(path);
  }
  if (!s.ok()) {
    g.EcritLog("Guichet - " + what + " : " + s.Description() + " (" + path + ")");
    return false;
  }
  g.EcritLog("Guichet - " + what + " (" + path + ")");
  return true;
}

}  // namespace

int32_t SweepStageTemporaries(Guichet& g) {
  const DateTime now = g.env.Now();
  int32_t n = 0;
  for (std::string_view stage :
       {kTranscriptionsStage, kValidationsStage, kPublicationsStage, kRecycleBinStage}) {
    const std::string root = g.Tasks(std::string(stage));
    std::vector<std::string> folders = {root};
    std::vector<std::string> authors;
    // A stage that cannot be listed is swept next time.
    if (g.env.ListFolders(root, &authors).ok())
      for (const std::string& a : authors) folders.push_back(root + "/" + a);
    for (const std::string& folder : folders) {
      std::vector<std::string> names;
      if (!g.env.ListAllFiles(folder, &names).ok()) continue;
      for (const std::string& name : names) {
        if (!IsTempName(name)) continue;
        const std::string path = folder + "/" + name;
        // A leftover that cannot go now goes at the next sweep.
        if (AgeOf(g, path, now) > kStageTempSeconds && g.env.DeleteFile(path).ok()) ++n;
      }
    }
  }
  return n;
}

int32_t SetAsideStrayPieceFiles(Guichet& g) {
  const std::string post = g.Spool("post");
  std::vector<std::string> pieces, markers;
  if (!g.env.ListFiles(post, "*.txt", &pieces).ok() ||
      !g.env.ListFiles(post, "*.rdy", &markers).ok())
    return 0;
  std::set<std::string> marked;
  for (const std::string& m : markers) marked.insert(ToUpper(m.substr(0, m.size() - 4)));
  const DateTime now = g.env.Now();
  int32_t n = 0;
  for (const std::string& name : pieces) {
    if (marked.count(ToUpper(name.substr(0, name.size() - 4)))) continue;
    const std::string path = post + "/" + name;
    // The marker may come yet: a front end writes the piece file first.
    if (AgeOf(g, path, now) <= kStrayPieceSeconds) continue;
    if (g.env.FileExists(post + "/" + name.substr(0, name.size() - 4) + ".rdy")) continue;
    if (SetAsideFile(g, path, W("ReperePost : pièce sans marqueur mise de côté"))) ++n;
  }
  return n;
}

int32_t SetAsideLoneTypeFiles(Guichet& g) {
  std::vector<std::string> names;
  if (!g.env.ListFiles(g.TasksFolder, DocumentsPattern(), &names).ok()) return 0;
  // The files of each number, and its ".typedoc".
  std::map<std::string, int> family;
  std::map<std::string, std::string> types;
  for (const std::string& name : names) {
    std::string number, ending;
    if (!ParseDocumentFileName(name, &number, &ending)) continue;
    ++family[number];
    if (EqualsNoCase(ending, ".typedoc")) types[number] = name;
  }
  const DateTime now = g.env.Now();
  int32_t n = 0;
  for (const auto& [number, name] : types) {
    if (family[number] != 1) continue;
    const std::string path = g.Tasks(name);
    if (AgeOf(g, path, now) <= kLoneTypeSeconds) continue;
    // Looked at again just before: an upload may have begun the family meanwhile.
    std::vector<std::string> now_there;
    if (!g.env.ListFiles(g.TasksFolder, DocumentFamilyPattern(number), &now_there).ok() ||
        now_there.size() != 1)
      continue;
    if (SetAsideFile(g, path, W("RepereMove : type de document seul mis de côté"))) ++n;
  }
  return n;
}

void SweepLeftovers(Guichet& g, bool at_start) {
  const DateTime now = g.env.Now();
  const int64_t since = DiffSeconds(g.LastStageSweep, now);
  if (!at_start && since >= 0 && since < kLeftoverSweepSeconds) return;
  g.LastStageSweep = now;
  // Each sweep skips what it cannot do; the next one tries again.
  SkipOnFailure([&] { SweepStageTemporaries(g); });
  SkipOnFailure([&] { SetAsideStrayPieceFiles(g); });
  SkipOnFailure([&] { SetAsideLoneTypeFiles(g); });
}

}  // namespace guichet
