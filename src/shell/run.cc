#include "shell/run.h"

#include <memory>

#include "core/guichet.h"
#include "core/records.h"
#include "exchange/leftovers.h"
#include "exchange/post.h"
#include "exchange/spool.h"
#include "output/html.h"
#include "platform/view.h"
#include "support/text.h"
#include "users/lastlogons.h"
#include "workflow/move.h"

namespace guichet {
namespace {

const char kTitle[] = "Guichet";

// The move cycle runs after 5 quiet seconds, and at the latest once it waited this long
// (milliseconds), however busy the spool.
constexpr int64_t kMoveOverdueMs = 30000;
// A watch that cannot be set up is tried again after this long (milliseconds).
constexpr int64_t kWatchRetryMs = 60000;
// Between the documents of a move cycle, the pickups run at least this often
// (milliseconds) even without notices.
constexpr int64_t kPickupsEveryMs = 1000;

// The upload then the request pickup, without the tick's upkeep; nothing is taken while
// a request is in hand.
void PickupsBetweenTicks(Guichet& g) {
  if (g.Busy() || g.ended) return;
  g.CurrentSpoolRoot = g.SpoolRoot;
  // Each pickup logs its own failures; what escapes is skipped, like on the tick.
  SkipOnFailure([&] { g.Activity += ReperePost(g); });
  if (!g.ended) SkipOnFailure([&] { g.Activity += RepereRequete(g, false); });
  g.LastPickups = g.env.SteadyMillis();
}

void DropWatch(Guichet& g, const std::string& why) {
  g.view.WakeOn(-1);
  g.Watch.reset();
  g.NextWatchTry = g.env.SteadyMillis() + kWatchRetryMs;
  if (g.WatchFallbackLogged) return;
  g.WatchFallbackLogged = true;
  g.EcritLog(W("Guichet : pas d'avis du système sur in et post, relève à chaque seconde "
               "seulement (") +
             why + ")");
}

void RunMoveCycle(Guichet& g) {
  RepereMove(g);
  g.LastMoveRun = g.env.SteadyMillis();
}

// Forwards the window's events to the handlers below.
class Events : public FormEvents {
 public:
  explicit Events(Guichet& g) : g_(g) {}
  void cmdStop_Click() override { guichet::cmdStop_Click(g_); }
  void cmdClear_Click() override { guichet::cmdClear_Click(g_); }
  void Form_QueryUnload() override { guichet::Form_QueryUnload(g_); }

 private:
  Guichet& g_;
};

bool SiblingRunning(Guichet& g, const char* title) {
  try {
    return g.desktop.CountMatchingWindows(title, "*FORM*") >= 1;
  } catch (...) {
    return false;
  }
}

}  // namespace

bool VaultPilotRunning(Guichet& g) { return SiblingRunning(g, "*VAULT PILOT*"); }
bool PortailHalveroRunning(Guichet& g) { return SiblingRunning(g, "*PORTAIL HALVERO*"); }

void cmdStop_Click(Guichet& g) {
  if (g.Busy() || g.ended) return;
  SauveDerniersLogons(g);
  ShutdownApp(g);
  g.view.Close();
  g.EndProcess(0);
}

void cmdClear_Click(Guichet& g) { g.ClearActivity(); }

void Form_QueryUnload(Guichet& g) {
  if (g.Busy() || g.ended) return;  // refused while a request is in hand
  ShutdownApp(g);
  g.view.Close();
  g.EndProcess(0);
}

void WatchSpool(Guichet& g) {
  if (g.Watch || g.env.SteadyMillis() < g.NextWatchTry) return;
  const std::string in = g.SpoolRoot + "/in", post = g.SpoolRoot + "/post";
  // The pickups make both folders; until then the tick alone looks.
  if (!g.env.FolderExists(in) || !g.env.FolderExists(post)) return;
  std::unique_ptr<FolderWatch> watch;
  Status s = g.env.WatchFolders({{in, "*.req"}, {post, "*.rdy"}}, &watch);
  if (!s.ok() || !watch) {
    DropWatch(g, s.ok() ? std::string("?") : s.Description() + " : " + s.path());
    return;
  }
  g.Watch = std::move(watch);
  g.view.WakeOn(g.Watch->WaitHandle());
  // What arrived before the watch began is the next tick's.
}

bool PickupsOnArrival(Guichet& g) {
  if (!g.Watch || g.ended) return false;
  if (g.Busy()) return false;  // the notices wait in the system's queue
  switch (g.Watch->Take()) {
    case FolderWatch::kNone:
      return false;
    case FolderWatch::kArrivals:
      break;
    case FolderWatch::kLost:
      // Notices were dropped: the listings of the pickups find what they named.
      if (!g.WatchLossLogged) {
        g.WatchLossLogged = true;
        g.EcritLog(W("Guichet : avis du système perdus sur in et post, dossiers relus"));
      }
      break;
    case FolderWatch::kBroken:
      DropWatch(g, W("surveillance interrompue"));
      PickupsBetweenTicks(g);  // what arrived before the break
      return true;
  }
  PickupsBetweenTicks(g);
  return true;
}

void PickupsBetweenDocuments(Guichet& g) {
  if (PickupsOnArrival(g)) return;
  // Without notices, or when they were missed, a long cycle still lets the spool be
  // looked at about once a second.
  if (g.env.SteadyMillis() - g.LastPickups >= kPickupsEveryMs) PickupsBetweenTicks(g);
}

void Timer1_Timer(Guichet& g) {
  // Each step's failure is skipped; the tick always ends.
  bool sibling = VaultPilotRunning(g) || PortailHalveroRunning(g);
  if (sibling && !g.Busy()) {
    g.EndProcess(0);  // at once: no shutdown, no saving, no message
    return;
  }
  g.CurrentSpoolRoot = g.SpoolRoot;
  // Uploads first, then requests.
  // Each pickup logs its own failures; what escapes is skipped, so the tick always ends.
  SkipOnFailure([&] { g.Activity += ReperePost(g); });
  if (!g.ended) {
    SkipOnFailure([&] { g.Activity += RepereRequete(g); });
  }
  g.LastPickups = g.env.SteadyMillis();
  if (g.ended) return;
  // The move cycle logs its own failures and keeps its queue; the tick always ends.
  SkipOnFailure([&] {
    const DateTime now = g.env.Now();
    // A busy spool never holds the move cycle off for more than half a minute.
    const bool overdue = g.env.SteadyMillis() - g.LastMoveRun >= kMoveOverdueMs;
    if (!g.BeatStarted) {
      g.BeatStarted = true;
      g.LastMoveBeat = now;
      g.LastMoveRun = g.env.SteadyMillis();
      g.Activity = 0;
      SweepLeftovers(g, true);
    } else if (DiffSeconds(g.LastMoveBeat, now) > 5) {
      g.LastMoveBeat = now;
      if (g.Activity == 0 || overdue) RunMoveCycle(g);
      g.Activity = 0;
      SweepLeftovers(g, false);
    } else if (overdue) {
      RunMoveCycle(g);
    }
  });
}

bool Form_Load(Guichet& g) {
  try {
    InitEntites();
    g.TasksFolder = g.AppFolder + "/../Tasks";
    IgnoreFailure(g.env.CreateFolder(g.TasksFolder));  // checked just below
    if (g.TasksFolder.empty() || !g.env.FolderExists(g.TasksFolder)) {
      g.view.MessageBox(W("Le repertoire de travail n'est pas spécifié ou inexistant"));
      ShutdownApp(g);
      g.view.Close();
      g.EndProcess(1);
      return false;
    }
    g.SetLabel(Label::kCompte, "0");
    g.SetLabel(Label::kProgression1, "");
    g.SetLabel(Label::kProgression2, "");
    g.DoEvents();
    return true;
  } catch (const std::exception& e) {
    g.view.MessageBox("FormLoad : " + DescriptionOf(e));
    ShutdownApp(g);
    return false;
  }
}

int RunGuichet(Guichet& g, bool instance_free) {
  const std::string end = W("\r\nL'application va se terminer");
  if (!instance_free) {
    g.view.MessageBox(std::string(kTitle) + W(" est deja lancé.") + end);
    return 1;
  }
  if (VaultPilotRunning(g)) {
    g.view.MessageBox(std::string(kTitle) +
                      W(" ne peut pas tourner en même temps que Vault Pilot.") + end);
    return 1;
  }
  if (PortailHalveroRunning(g)) {
    g.view.MessageBox(std::string(kTitle) +
                      W(" ne peut pas tourner en même temps que Portail Halvero.") + end);
    return 1;
  }
  g.AppFolder = DossierParent(g.env.ExecutablePath());
  try {
    g.SpoolRoot = g.AppFolder + "/../IsapiHalvero";
    ChargeDerniersLogons(g);
  } catch (const std::exception& e) {
    const Failure* f = dynamic_cast<const Failure*>(&e);
    g.view.MessageBox("Erreur inattendue: (" + (f ? f->source() : std::string(kTitle)) +
                      ") : " + DescriptionOf(e));
    return 1;
  }

  Events events(g);
  g.view.Show(&events);
  g.DoEvents();
  bool timer_on = Form_Load(g);

  // The polling loop: the next tick comes 1000 ms after the previous one ended. A close
  // signal is kept until it can be acted on, once no request is in hand.
  bool close_pending = false;
  auto close_if_asked = [&] {
    if (TakeCloseSignal()) close_pending = true;
    if (close_pending && !g.Busy()) Form_QueryUnload(g);
  };
  // Between ticks, files that arrive in "in" and "post" are taken at once when the
  // system gives notices of them; the rest of the tick's work waits for the tick.
  g.BetweenDocuments = [&g] { PickupsBetweenDocuments(g); };
  while (!g.ended) {
    if (timer_on) {
      Timer1_Timer(g);
      if (!g.ended) WatchSpool(g);
    }
    const int64_t next_tick = g.env.SteadyMillis() + 1000;
    for (;;) {
      close_if_asked();
      if (g.ended) break;
      const int64_t left = next_tick - g.env.SteadyMillis();
      if (left <= 0) break;
      // One wait to the next tick: the views end it early for a close signal, a click
      // that ends the process, or the watch.
      const bool woke = g.view.WaitFor(static_cast<int>(left), g.ended);
      close_if_asked();
      if (woke && timer_on && !g.ended) PickupsOnArrival(g);
    }
  }
  g.BetweenDocuments = nullptr;
  g.view.WakeOn(-1);
  g.Watch.reset();
  return g.exit_code;
}

}  // namespace guichet
