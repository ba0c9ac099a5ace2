#include "workflow/move.h"

#include "core/guichet.h"
#include "core/records.h"
#include "platform/env.h"
#include "support/filenames.h"
#include "support/names.h"
#include "support/text.h"
#include "workflow/audio.h"
#include "workflow/stage_files.h"

namespace guichet {
namespace {

struct Cycle {
  std::vector<std::string> services, typedocs;
  std::string templates;  // the Templates folder
  int failed = 0;
  bool beep = false;
};

void HandleQueueEntry(Guichet& g, Cycle& c, const std::string& line) {
  const std::string id = Extract(line, 1);
  const std::string author = Extract(line, 2);
  // Both fields become parts of paths and of a batch file. An entry that fails the
  // checks can never move: it is logged and consumed, so it does not keep the queue.
  if (!IsValidDocumentNumber(id) || !IsValidNamePart(author)) {
    WriteWorkflowLog(g, W("Ligne de ToMove.txt abandonnée : ") + line);
    return;
  }

  // A tasks folder that cannot be listed leaves the family for the next cycle; stage
  // folders that cannot be made fail each verified move, which keeps the queue.
  std::vector<std::string> files;
  IgnoreFailure(g.env.ListFiles(g.TasksFolder, DocumentFamilyPattern(id), &files));

  const std::string trans = g.Tasks(std::string(kTranscriptionsStage));
  const std::string dest = trans + "/" + author;
  IgnoreFailure(g.env.CreateFolder(trans));
  IgnoreFailure(g.env.CreateFolder(dest));

  for (const std::string& f : files) {
    if (!VerifiedMove(g, g.TasksFolder, dest, f)) ++c.failed;
    if (f.find(".spx") != std::string::npos) ConvertirSpx(g, dest + "/" + f);
    if (f.find(".caf") != std::string::npos) ConvertirCaf(g, dest + "/" + f);
  }

  // A former cycle may have been stopped (killed) after some or all of the family had
  // left the tasks folder: its queue line is still there, so this pass finishes the
  // conversions and the documents it left undone.
  FinishConversions(g, dest, id, files);
  const std::string base = dest + "/" + DocumentFileName(id, "");
  if (files.empty()) {
    std::vector<std::string> family;
    IgnoreFailure(g.env.ListFiles(dest, DocumentFamilyPattern(id), &family));  // nothing to finish
    // The stage batch file is written last: a family without it was cut short.
    if (family.empty() || g.env.FileExists(base + ".finished.bat")) return;
  }

  std::string code;
  // A type that cannot be read finds no templates, like an unknown one.
  if (FileLen(g.env, base + ".typedoc") > 0)
    IgnoreFailure(ReadFirstLine(g.env, base + ".typedoc", &code));

  std::string service_name, type_name;
  TypeTemplates(c.services, c.typedocs, code, &service_name, &type_name);

  std::vector<std::string> templates;
  const std::string folder = c.templates + "/" + service_name;
  if (!service_name.empty() && !type_name.empty())
    IgnoreFailure(g.env.ListAdminFiles(folder, type_name + ".*", &templates));  // none then

  if (templates.empty()) return;

  // The stage batch file comes last, once the ".id", the templates and the urgency
  // marker are in place: whatever runs it never carries on a document without them,
  // and its presence tells a later pass that this document was finished.
  // The ".id" and the batch file must be there: one that cannot be written raises, the
  // queue line stays, and the next cycle finishes the document. A template that cannot
  // be copied is logged and left out, as one missing from the template folder is.
  if (!g.env.FileExists(base + ".id")) Check(g.env.WriteFile(base + ".id", ""));
  for (const std::string& t : templates) {
    size_t dot = t.find('.');
    if (dot == std::string::npos) continue;
    const std::string target = base + t.substr(dot);
    if (g.env.FileExists(target)) continue;
    if (ContainsNoCase(t, ".info"))
      RemplirModele(g, folder + "/" + t, target, service_name, type_name, author);
    else
      LogFailure(g, "RepereMove", g.env.CopyAdminFile(folder + "/" + t, target));
  }
  const std::string prefix = CheckUrgency(g, dest, id, &c.beep);
  Check(g.env.WriteFileAtomic(base + ".finished.bat", BatchTranscription(id, author)));
  ReportActivity(g, prefix + "Trans. : " + author + " (#" + id + ")");
}

}  // namespace

void TypeTemplates(const std::vector<std::string>& services,
                   const std::vector<std::string>& typedocs, const std::string& code,
                   std::string* service_name, std::string* type_name) {
  std::string service_id;
  service_name->clear();
  type_name->clear();
  for (const std::string& l : typedocs) {
    if (Extract2(l, 2) != code) continue;
    service_id = Trim(Extract2(l, 1));
    *type_name = Trim(Extract2(l, 3));
    break;
  }
  for (const std::string& l : services) {
    if (Extract2(l, 1) != service_id) continue;
    *service_name = Trim(Extract2(l, 2));
    break;
  }
}

std::string BatchTranscription(const std::string& id, const std::string& author) {
  const std::string target = "..\\..\\Validations\\" + author;
  return JoinLines({
      "mkdir \"..\\..\\Validations\"",
      "mkdir \"" + target + "\"",
      "move " + DocumentFamilyPattern(id) + " \"" + target + "\"",
  });
}

void RemplirModele(Guichet& g, const std::string& modele, const std::string& destination,
                   const std::string& service, const std::string& typedoc,
                   const std::string& auteur) {
  if (!AdminFileExists(g.env, modele)) return;
  std::vector<std::string> lines;
  // A model that cannot be read gives an empty template, logged.
  LogFailure(g, "RemplirModele", ReadAdminLines(g.env, modele, &lines));
  std::string out;
  for (std::string line : lines) {
    const DateTime now = g.env.Now();  // read anew for every line
    line = ReplaceAllNoCase(line, "%DateCreation%", GeneralDate(now).substr(0, 10));
    line = ReplaceAllNoCase(line, "%DateCreationInverse%", Format(now, "yyyy-mm-dd"));
    line = ReplaceAllNoCase(line, "%Service%", service);
    line = ReplaceAllNoCase(line, "%TypeDoc%", typedoc);
    line = ReplaceAllNoCase(line, "%Auteur%", auteur);
    out += line;
    out += kCrLf;
  }
  // Whole or not at all: a pass stopped half-way leaves no half-filled template that a
  // later pass would take for a finished one.
  LogFailure(g, "RemplirModele", g.env.WriteFileAtomic(destination, out));
}

void RepereMove(Guichet& g) {
  // A cycle that fails keeps the queue whole for the next one; the tick goes on.
  SkipOnFailure([&] {
    const std::string queue = MoveQueuePath(g);
    if (FileLen(g.env, queue) == 0) return;  // missing, empty, or not a regular file

    std::string content;
    {
      // Read under the queue lock, so that no half-appended line is seen. A lock that
      // another program holds ends the cycle at once: the next one tries again.
      auto lock = g.env.TryLockFile(queue, 0);
      if (!lock || !g.env.ReadFile(queue, &content).ok()) return;
    }
    const int64_t length = static_cast<int64_t>(content.size());
    if (length == 0) return;
    std::vector<std::string> entries;
    for (std::string& l : SplitLines(content))
      if (!IsBlank(l)) entries.push_back(std::move(l));

    Cycle c;
    c.templates = g.Tasks("../Templates");
    IgnoreFailure(g.env.CreateFolder(c.templates));  // no catalogues then: the cycle ends
    if (!AdminFileExists(g.env, c.templates + "/Services.txt") ||
        !AdminFileExists(g.env, c.templates + "/Typedocs.txt"))
      return;
    c.services = ReadCatalogue(g.env, c.templates + "/Services.txt");
    c.typedocs = ReadCatalogue(g.env, c.templates + "/TypeDocs.txt");

    bool first = true;
    for (const std::string& line : entries) {
      // What arrived meanwhile is answered between two documents, not after the cycle.
      if (!first && g.BetweenDocuments) g.BetweenDocuments();
      first = false;
      if (g.ended) return;
      try {
        HandleQueueEntry(g, c, line);
      } catch (...) {
        ++c.failed;  // keep the queue: the entry is tried again next cycle
      }
    }

    {
      // The last length check and the emptying under the lock that appenders take: a
      // line appended by anyone either changes the length or comes after the emptying.
      // The queue is emptied in place, never deleted: an appender that opened it and
      // waits for the lock then writes into the queue, not into a deleted file. A lock
      // held by another program leaves the queue whole for the next cycle.
      auto lock = g.env.TryLockFile(queue, 0);
      if (lock && c.failed == 0 && lock->Size() == length) {
        Status s = lock->Truncate(0);
        if (!s.ok()) g.EcritLog("RepereMove : " + s.Description() + " (" + queue + ")");
      }
    }
    if (c.beep) g.view.Beep();
  });
}

}  // namespace guichet
