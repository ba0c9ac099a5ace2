#include "exchange/spool.h"

#include <unordered_set>

#include "exchange/request.h"
#include "shell/guichet.h"
#include "shell/shutdown.h"
#include "support/text.h"
#include "users/lastlogons.h"

namespace guichet {
namespace {

// Deletes the plain files of `folder` older than `limit` boundaries of the given unit.
void Purge(Guichet& g, const std::string& folder, int64_t limit,
           int64_t (*diff)(const DateTime&, const DateTime&)) {
  std::vector<std::string> names;
  if (!g.env.ListFiles(folder, "*", &names).ok()) return;
  const DateTime now = g.env.Now();
  for (const std::string& name : names) {
    FileInfo info;
    std::string path = folder + "/" + name;
    if (g.env.GetFileInfo(path, &info).ok() && diff(info.modified, now) > limit)
      g.env.DeleteFile(path);
  }
}

void SetCount(Guichet& g, size_t n) {
  g.SetCaption("(" + Dec(static_cast<int64_t>(n)) + ") Guichet");
}

}  // namespace

bool IsFatalDescription(const std::string& description) {
  return description == BadHandleDescription();
}

void FatalPath(Guichet& g, const char* program, bool save_sessions) {
  g.env.ReleaseReserve();
  std::string path = g.App(program);
  if (g.env.FileExists(path)) g.env.StartDetached(path);
  if (save_sessions) SauveDerniersLogons(g);
  ShutdownApp(g);
  g.view.Close();
  g.EndProcess(0);
}

int32_t RepereRequete(Guichet& g) {
  int32_t count = 0;
  Env& env = g.env;
  const std::string& root = g.CurrentSpoolRoot;

  // Until the scan, every failure is ignored and the next step runs.
  try {
    g.Sessions.RemoveExpired(env.Now());
  } catch (...) {
  }
  try {
    if (!g.SpoolReady) {
      for (const char* sub : {"in", "out", "rights", "cache"}) env.CreateFolder(root + "/" + sub);
      env.DeleteFile(root + "/post/_description_http_post.txt");
      g.SpoolReady = true;
    } else {
      Purge(g, root + "/in", 30, DiffMinutes);
      Purge(g, root + "/out", 30, DiffMinutes);
      const DateTime now = env.Now();
      if (Format(now, "hh") < "06" && DiffHours(g.LastDailyPurge, now) > 23) {
        Purge(g, root + "/cache", 24, DiffHours);
        Purge(g, root + "/rights", 24, DiffHours);
        g.LastDailyPurge = now;
      }
    }
  } catch (...) {
  }

  try {
    std::vector<std::string> requests;
    Check(env.ListFiles(root + "/in", "*.req", &requests));

    // Requests whose ready marker still waits in "out" are not answered again. The
    // markers are listed once: one listing instead of one lookup per request.
    std::vector<std::string> markers;
    Check(env.ListFiles(root + "/out", "*.rdy", &markers));
    std::unordered_set<std::string> answered;
    for (const std::string& m : markers) answered.insert(ToUpper(m));
    std::vector<std::string> waiting;
    waiting.reserve(requests.size());
    for (const std::string& req : requests)
      if (!answered.count(ToUpper(ReplaceAll(req, ".req", ".rdy")))) waiting.push_back(req);

    SetCount(g, waiting.size());
    while (!waiting.empty()) {
      std::string req = std::move(waiting.back());
      waiting.pop_back();
      bool handled = TraiteRequete(g, req);
      g.LogPhase.clear();
      SetCount(g, waiting.size());
      if (handled) ++count;
      if (g.ended) return count;
    }
    g.SetLabel(Label::kProgression2, "");
    g.DoEvents();
    return count;
  } catch (const std::exception& e) {
    g.LogPhase.clear();
    std::string description = DescriptionOf(e);
    ++count;
    g.SpoolReady = false;
    if (IsFatalDescription(description)) {
      FatalPath(g, "RiVuvorad.exe", true);
      return count;
    }
    g.EcritLog("RepereRequete : " + description);
    return count;
  }
}

}  // namespace guichet
