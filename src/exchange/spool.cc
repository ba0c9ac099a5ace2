#include "exchange/spool.h"

#include <algorithm>
#include <climits>
#include <unordered_set>

#include "core/guichet.h"
#include "exchange/dispatch.h"
#include "support/names.h"
#include "support/text.h"
#include "users/lastlogons.h"

namespace guichet {
namespace {

// Tries of a request whose answer cannot be written, before it is set aside.
constexpr int kMaxTries = 3;
// The pauses before a set-aside request is tried again: the first, and the longest the
// doubling reaches (after which it is tried whether or not the folders changed).
constexpr int64_t kFirstRetryPauseMs = 2000;
constexpr int64_t kLongestRetryPauseMs = 64000;

// The name two answers share when they would land in the same file: the answer's name,
// and on a file system that ignores case, its upper-case form.
std::string AnswerKey(std::string name) {
#ifdef _WIN32
  return ToUpper(name);
#else
  return name;
#endif
}
// Age after which Guichet's own temporary files are leftovers of a kill.
constexpr int64_t kLeftoverMinutes = 5;

// The offset of local time from UTC at `unix_seconds`, in seconds.
int64_t LocalOffset(int64_t unix_seconds) {
  return FromUnixLocal(unix_seconds).Serial() - FromUnixLocal(0).Serial() - unix_seconds;
}

// Deletes the regular files of `folder` older than `limit` boundaries of the given unit:
// every one, including the hidden names and the names no listing shows, which crashed
// writers leave behind. The files are visited oldest first, from what the file layer
// kept of the folder, until the first one young enough: local time only grows with the
// file times when the offset from UTC is the same at that file's time and now; across a
// change of offset the visit goes an hour further. Each candidate's time is read again
// before it is deleted.
void Purge(Guichet& g, const std::string& folder, int64_t limit,
           int64_t (*diff)(const DateTime&, const DateTime&)) {
  const DateTime now = g.env.Now();
  const int64_t now_unix = ToUnixLocal(now);
  std::vector<std::string> candidates;
  int64_t visit_until = INT64_MAX;
  auto visit = [&](const std::string& name, int64_t mtime) {
    if (mtime > visit_until) return false;
    if (diff(FromUnixLocal(mtime), now) > limit) {
      candidates.push_back(name);
    } else if (visit_until == INT64_MAX) {
      if (mtime <= now_unix && LocalOffset(mtime) == LocalOffset(now_unix)) return false;
      visit_until = mtime + 3600;
    }
    return true;
  };
  if (!g.env.VisitFileTimes(folder, visit).ok()) return;
  for (const std::string& name : candidates) {
    FileInfo info;
    std::string path = folder + "/" + name;
    // A file that cannot go now goes at the next purge.
    if (g.env.GetFileInfo(path, &info).ok() && diff(info.modified, now) > limit)
      IgnoreFailure(g.env.DeleteFile(path));
  }
}

// Removes the temporary files of Guichet's own atomic writes that a kill left in
// `folder`, once they are a few minutes old (no write of this process is under way
// between two steps of the tick).
void NettoieRestes(Guichet& g, const std::string& folder) {
  std::vector<std::string> names;
  if (!g.env.ListAllFiles(folder, &names).ok()) return;
  const DateTime now = g.env.Now();
  for (const std::string& name : names) {
    if (!IsTempName(name)) continue;
    FileInfo info;
    std::string path = folder + "/" + name;
    // A leftover that cannot go now is tried at the next sweep.
    if (g.env.GetFileInfo(path, &info).ok() && DiffMinutes(info.modified, now) > kLeftoverMinutes)
      IgnoreFailure(g.env.DeleteFile(path));
  }
}

}  // namespace

bool IsFatalFailure(const Status& s) { return s.kind() == Status::kBadHandle; }

bool IsFatalFailure(const std::exception& e) {
  const Failure* f = dynamic_cast<const Failure*>(&e);
  return f != nullptr && f->kind() == Status::kBadHandle;
}

void FatalPath(Guichet& g, const char* program, bool save_sessions) {
  // The reserve descriptor is what lets the line, the start and the save happen.
  g.env.ReleaseReserve();
  g.LogPhase.clear();
  g.EcritLog("Guichet : " + BadHandleDescription() + ", fin du programme (" + program + ")");
  std::string path = g.App(program);
  if (g.env.FileExists(path)) {
    Status s = g.env.StartDetached(path);
    if (!s.ok()) g.EcritLog("Guichet : " + s.Description() + " (" + path + ")");
  }
  if (save_sessions) SauveDerniersLogons(g);
  ShutdownApp(g);
  g.view.Close();
  // A failure, for a service manager that restarts Guichet on one.
  g.EndProcess(1);
}

int32_t RepereRequete(Guichet& g, bool upkeep) {
  int32_t count = 0;
  Env& env = g.env;
  const std::string& root = g.CurrentSpoolRoot;

  // Until the scan, every failure is ignored and the next step runs.
  // Sessions that cannot be dropped now are dropped on a later tick.
  SkipOnFailure([&] { g.Sessions.RemoveExpired(env.Now()); });
  // The upkeep of the folders is tried again on the next tick; the scan goes on.
  SkipOnFailure([&] {
    if (!upkeep) return;  // the tick's work
    if (!g.SpoolReady) {
      // Until the scan every failure is skipped: a folder that cannot be made lists no
      // request, and the front end's description file is only a leftover.
      for (const char* sub : {"in", "out", "rights", "cache"})
        IgnoreFailure(env.CreateFolder(root + "/" + sub));
      IgnoreFailure(env.DeleteFile(root + "/post/_description_http_post.txt"));
      g.SpoolReady = true;
    } else {
      Purge(g, root + "/in", 30, DiffMinutes);
      Purge(g, root + "/out", 30, DiffMinutes);
      const DateTime now = env.Now();
      if (DiffMinutes(g.LastLeftoverSweep, now) > kLeftoverMinutes) {
        for (const std::string& folder : {g.AppFolder, g.TasksFolder, root + "/out", root + "/temp",
                                          root + "/cache", root + "/rights"})
          NettoieRestes(g, folder);
        g.LastLeftoverSweep = now;
      }
      if (Format(now, "hh") < "06" && DiffHours(g.LastDailyPurge, now) > 23) {
        Purge(g, root + "/cache", 24, DiffHours);
        Purge(g, root + "/rights", 24, DiffHours);
        g.LastDailyPurge = now;
      }
    }
  });

  try {
    // The requests without a ready marker in "out", from the last look when neither
    // folder changed since.
    Guichet::PendingScan& pending = g.PendingRequests;
    const std::string in = root + "/in", out = root + "/out";
    const uint64_t in_gen = env.FolderGeneration(in), out_gen = env.FolderGeneration(out);
    if (in_gen == 0 || out_gen == 0 || in_gen != pending.in || out_gen != pending.out) {
      pending = {};
      std::vector<std::string> requests;
      Check(env.ListFiles(in, "*.req", &requests));
      // Requests whose ready marker still waits in "out" are not answered again. The
      // markers are listed once: one listing instead of one lookup per request. A marker
      // is the request's own, under its answer's name.
      std::vector<std::string> markers;
      Check(env.ListFiles(out, "*.rdy", &markers));
      std::unordered_set<std::string> answered;
      if (!requests.empty())
        for (std::string& m : markers) answered.insert(AnswerKey(std::move(m)));
      if (!g.RequestTries.empty()) {
        std::unordered_set<std::string> listed(requests.begin(), requests.end());
        std::erase_if(g.RequestTries, [&](const auto& t) { return !listed.count(t.first); });
      }
      for (std::string& req : requests)
        if (!answered.count(AnswerKey(RequestBaseName(req) + ".rdy")))
          pending.requests.push_back(std::move(req));
      pending.in = in_gen;
      pending.out = out_gen;
    }
    // A request whose answer could not be written waits for a tick; once set aside, for
    // a tick after its pause, when the folders changed since its last try (space made,
    // a folder put right) or the pause is at its longest.
    const int64_t now_ms = env.SteadyMillis();
    std::vector<std::string> waiting;
    waiting.reserve(pending.requests.size());
    for (const std::string& req : pending.requests) {
      auto t = g.RequestTries.find(req);
      if (t != g.RequestTries.end()) {
        const Guichet::RequestTry& r = t->second;
        if (!upkeep) continue;
        if (r.tries >= kMaxTries &&
            (now_ms < r.retry_at || (r.pause < kLongestRetryPauseMs && in_gen != 0 &&
                                     out_gen != 0 && in_gen == r.in_gen && out_gen == r.out_gen)))
          continue;
      }
      waiting.push_back(req);
    }

    g.ShowCount(waiting.size());
    // Two requests whose answers share a name are never answered into it together: the
    // first is answered, the other waits until that answer is collected.
    std::unordered_set<std::string> answering;
    while (!waiting.empty()) {
      std::string req = std::move(waiting.back());
      waiting.pop_back();
      if (!answering.insert(AnswerKey(RequestBaseName(req))).second) {
        g.ShowCount(waiting.size());
        continue;
      }
      bool failed = false;
      bool handled = TraiteRequete(g, req, &failed);
      g.LogPhase.clear();
      if (failed) {
        // An answer that cannot be written is tried again on the next ticks, then the
        // request is set aside and logged once; it is tried again after a pause that
        // grows with each failure, once its cause may have passed.
        Guichet::RequestTry& r = g.RequestTries[req];
        if (++r.tries == kMaxTries)
          g.EcritLog(W("RepereRequete : réponse impossible après ") + Dec(kMaxTries) +
                     W(" essais, requête mise de côté (") + root + "/in/" + req + ")");
        if (r.tries >= kMaxTries) {
          r.pause = r.pause == 0 ? kFirstRetryPauseMs : std::min(r.pause * 2, kLongestRetryPauseMs);
          r.retry_at = env.SteadyMillis() + r.pause;
          r.in_gen = env.FolderGeneration(in);
          r.out_gen = env.FolderGeneration(out);
        }
      } else if (!g.RequestTries.empty()) {
        g.RequestTries.erase(req);
      }
      g.ShowCount(waiting.size());
      if (handled) ++count;
      if (g.ended) return count;
    }
    g.SetLabel(Label::kProgression2, "");
    g.DoEvents();
    return count;
  } catch (const std::exception& e) {
    g.LogPhase.clear();
    // No request is in hand any more: "Quitter" and closing work again.
    g.SetLabel(Label::kProgression2, "");
    std::string description = DescriptionOf(e);
    ++count;
    g.SpoolReady = false;
    if (IsFatalFailure(e)) {
      FatalPath(g, "RiVuvorad.exe", true);
      return count;
    }
    g.EcritLog("RepereRequete : " + description);
    return count;
  }
}

}  // namespace guichet
