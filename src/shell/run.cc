#include "shell/run.h"

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
  if (g.ended) return;
  // The move cycle logs its own failures and keeps its queue; the tick always ends.
  SkipOnFailure([&] {
    const DateTime now = g.env.Now();
    if (!g.BeatStarted) {
      g.BeatStarted = true;
      g.LastMoveBeat = now;
      g.Activity = 0;
      SweepLeftovers(g, true);
    } else if (DiffSeconds(g.LastMoveBeat, now) > 5) {
      g.LastMoveBeat = now;
      if (g.Activity == 0) RepereMove(g);
      g.Activity = 0;
      SweepLeftovers(g, false);
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
  while (!g.ended) {
    if (timer_on) Timer1_Timer(g);
    for (int slice = 0; slice < 10 && !g.ended; ++slice) {
      close_if_asked();
      if (!g.ended) g.view.WaitFor(100, g.ended);
    }
    close_if_asked();
  }
  return g.exit_code;
}

}  // namespace guichet
