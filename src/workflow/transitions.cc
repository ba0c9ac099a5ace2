#include "workflow/transitions.h"

#include <vector>

#include "core/guichet.h"
#include "core/request.h"
#include "platform/env.h"
#include "support/filenames.h"
#include "support/names.h"
#include "support/text.h"
#include "workflow/stage_files.h"

namespace guichet {
namespace {

std::vector<std::string> Family(Guichet& g, const std::string& folder, const std::string& id) {
  std::vector<std::string> names;
  // A folder that cannot be listed has no family to move on this pass.
  IgnoreFailure(g.env.ListFiles(folder, DocumentFamilyPattern(id), &names));
  return names;
}

std::string Stage(Guichet& g, std::string_view stage, const std::string& author) {
  return g.Tasks(StageFolder(stage, author));
}

void CreateStage(Guichet& g, std::string_view stage, const std::string& author) {
  // Without them each verified move fails and is logged.
  IgnoreFailure(g.env.CreateFolder(g.Tasks(std::string(stage))));
  IgnoreFailure(g.env.CreateFolder(Stage(g, stage, author)));
}

}  // namespace

void RecyclerDocument(Guichet& g, const std::string& author, const std::string& id) {
  // Each failed move is logged by the verified move; the queue entry goes whatever happened,
  // and the move cycle finishes the documents.
  SkipOnFailure([&] {
    const std::string from = Stage(g, kValidationsStage, author);
    std::vector<std::string> files = Family(g, from, id);
    CreateStage(g, kRecycleBinStage, author);
    const std::string to = Stage(g, kRecycleBinStage, author);
    for (const std::string& f : files) VerifiedMove(g, from, to, f);
    ReportActivity(g, "Recycl. : " + author + " (#" + id + ")");
  });
  // A queue that cannot take the entry fails the request (the author sends it again).
  AppendToMoveQueue(g, id, author);
}

void RejeterDocument(Guichet& g, const std::string& author, const std::string& id,
                     const std::string& mode) {
  if (mode == "1") {
    RecyclerDocument(g, author, id);
    return;
  }
  bool urgent = false;
  // Each failed move is logged by the verified move; the queue entry goes whatever happened,
  // and the move cycle finishes the documents.
  SkipOnFailure([&] {
    const std::string from = Stage(g, kValidationsStage, author);
    const std::string to = Stage(g, kTranscriptionsStage, author);
    for (const std::string& f : Family(g, from, id)) VerifiedMove(g, from, to, f);
    const std::string prefix = CheckUrgency(g, to, id, &urgent);
    ReportActivity(g, prefix + "REJ-Trans. : " + author + " (#" + id + ")");
  });
  AppendToMoveQueue(g, id, author);  // raises when the queue cannot take the entry
  if (urgent) g.view.Beep();
}

std::string BatchArchive(const std::string& id, const std::string& name) {
  const std::string archives = "..\\..\\..\\Archives";
  const std::string trash = "..\\..\\..\\Archives_Trash";
  auto move = [&](const std::string& ext, const std::string& folder) {
    return "move " + DocumentFileName(id, ext) + " \"" + folder + "\\" + name + "\"";
  };
  return JoinLines({
      "mkdir \"" + archives + "\"",
      "mkdir \"" + archives + "\\" + name + "\"",
      move(".info", archives),
      move(".pdf", archives),
      move(".txt", archives),
      move(".doc", archives),
      "mkdir \"" + trash + "\"",
      "mkdir \"" + trash + "\\" + name + "\"",
      move(".*", trash),
  });
}

void PublierDocument(Guichet& g, const std::string& author, const std::string& id) {
  bool queue = false;
  // A tasks folder that cannot be listed leaves the document to publish from validation.
  SkipOnFailure([&] { queue = !Family(g, g.TasksFolder, id).empty(); });
  // Not yet given to transcription: the move cycle takes it from here. A queue that
  // cannot take the entry fails the request.
  if (queue) {
    AppendToMoveQueue(g, id, author);
    return;
  }
  // Each failed move is logged by the verified move; the request is answered whatever
  // happened, and sent again it finishes the publication.
  SkipOnFailure([&] {
    CreateStage(g, kPublicationsStage, author);
    const std::string from = Stage(g, kValidationsStage, author);
    const std::string to = Stage(g, kPublicationsStage, author);
    std::vector<std::string> files = Family(g, from, id);

    std::string first;
    // A publication cut short (the ".id" moved, other files not) is sent again: the name
    // is then in the ".id" that already reached Publications.
    std::string id_file = from + "/" + DocumentFileName(id, ".id");
    if (!g.env.FileExists(id_file)) id_file = to + "/" + DocumentFileName(id, ".id");
    // A name that cannot be read archives as "(Sans nom)".
    if (FileLen(g.env, id_file) > 0) IgnoreFailure(ReadFirstLine(g.env, id_file, &first));
    // The same name the archive listings look for.
    std::string name = ArchiveName(first);
    if (name.empty()) name = "(Sans nom)";

    int failed = 0;
    for (const std::string& f : files)
      if (!VerifiedMove(g, from, to, f)) ++failed;

    // Without its batch file the publication is not done: logged, and not reported.
    const Status bat = g.env.WriteFileAtomic(to + "/" + DocumentFileName(id, ".finished.bat"),
                                             BatchArchive(id, name));
    if (!bat.ok()) {
      LogFailure(g, "PublierDocument", bat);
      ++failed;
    }

    if (failed == 0) {
      bool urgent = false;
      const std::string prefix = CheckUrgency(g, to, id, &urgent);
      ReportActivity(g, prefix + "Publi. : " + author + " (#" + id + ")");
      if (urgent) g.view.Beep();
    }
  });
}

void TraiteTransition(Guichet& g, Requete& r) {
  const std::string& id = r.SecondValue();
  // The number becomes part of file names, patterns and batch files.
  if (!IsValidDocumentNumber(id)) return;
  const std::string& author = r.idUtilisateur;
  if (r.command == "cancelled")
    RecyclerDocument(g, author, id);
  else if (r.command == "invalidated")
    RejeterDocument(g, author, id, r.ThirdValue());
  else
    PublierDocument(g, author, id);  // "finished" and "cleared"
}

}  // namespace guichet
