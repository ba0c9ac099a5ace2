// guichet: the back-end worker of the dictation portal. No arguments, no configuration:
// everything follows from the folders beside the executable's own folder.
#include <unistd.h>

#include "platform/desktop.h"
#include "platform/env.h"
#include "platform/fltk_view.h"
#include "platform/view.h"
#include "platform/x11_desktop.h"
#include "shell/guichet.h"
#include "shell/shutdown.h"

int main() {
  using namespace guichet;
  Env* env = Env::Default();
  InstallCloseSignals();
  // With an X display: the window, and the window search on that display (its own
  // connection, open before the sibling checks of the start-up). Without one: headless.
  std::unique_ptr<Desktop> desktop = OpenX11Desktop();
  std::unique_ptr<StatusView> view;
  if (desktop) {
    view = MakeFltkView();
  } else {
    desktop = MakeNoDesktop();
    view = isatty(1) ? MakeConsoleView() : MakeSilentView();
  }
  bool instance_free = AcquireInstanceLock(env->ExecutablePath());
  Guichet g(*env, *view, *desktop);
  return RunGuichet(g, instance_free);
}
