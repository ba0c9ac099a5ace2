#include "workflow/stage_files.h"

#include "core/guichet.h"
#include "platform/env.h"
#include "support/filenames.h"
#include "support/text.h"

namespace guichet {

void WriteWorkflowLog(Guichet& g, const std::string& text) {
  // The workflow log never stops a workflow step: a line that cannot be written is lost.
  SkipOnFailure([&] {
    IgnoreFailure(g.env.AppendFile(g.App("guichet.log"),
                                   GeneralDate(g.env.Now()) + " - " + text + std::string(kCrLf)));
  });
}

void ReportActivity(Guichet& g, const std::string& text) {
  // The activity list is only shown; the workflow log still gets the line.
  SkipOnFailure([&] { g.AddActivity(GeneralDate(g.env.Now()) + " - " + text); });
  WriteWorkflowLog(g, text);
}

bool VerifiedMove(Guichet& g, const std::string& from, const std::string& to,
                  const std::string& name) {
  const std::string source = from + "/" + name;
  const std::string target = to + "/" + name;
  bool moved = false;
  try {
    FileInfo before;
    if (g.env.GetFileInfo(source, &before).ok() && g.env.CopyFile(source, target).ok()) {
      FileInfo after;
      if (g.env.GetFileInfo(target, &after).ok() && after.size == before.size)
        moved = g.env.DeleteFile(source).ok() || !g.env.FileExists(source);
    }
  } catch (...) {
    moved = false;
  }
  // A source that could not be deleted is still a copy: the next pass moves it again.
  if (!moved) WriteWorkflowLog(g, "Can't copy " + source);
  return moved;
}

std::string CheckUrgency(Guichet& g, const std::string& folder, const std::string& id,
                         bool* urgent) {
  std::string prefix;
  const std::string urg = folder + "/" + DocumentFileName(id, ".urg");
  // An urgency file that cannot be read counts as none.
  if (FileLen(g.env, urg) > 0) IgnoreFailure(ReadFirstLine(g.env, urg, &prefix));
  if (ContainsNoCase(prefix, "urgent")) {
    prefix = "URGENT! ";
    if (urgent) *urgent = true;
    // The marker only draws the eye; the activity line says "URGENT!" whatever happens.
    IgnoreFailure(g.env.WriteFile(folder + "/" + DocumentFileName(id, ".URGENT!"), ""));
  }
  if (ContainsNoCase(prefix, "normal")) prefix.clear();
  return prefix;
}

std::string MoveQueuePath(const Guichet& g) { return g.TasksFolder + "/ToMove.txt"; }

void AppendToMoveQueue(Guichet& g, const std::string& id, const std::string& author) {
  const std::string queue = MoveQueuePath(g);
  const bool created = !g.env.FileExists(queue);
  Status s =
      g.env.AppendLineLocked(queue, id + ";" + author + std::string(kCrLf), kMoveQueueWaitMs);
  // The entry is on the disk before the command is answered (its request file deleted):
  // a power cut after the answer keeps it, and a new queue's name with it.
  if (s.ok()) s = g.env.SyncFile(queue);
  if (s.ok() && created) s = g.env.SyncFolder(g.TasksFolder);
  if (s.ok()) return;
  g.EcritLog("AjouteAuFichierMove : " + s.Description() + " (" + s.path() + ")");
  throw Failure(s);
}

}  // namespace guichet
