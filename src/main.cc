// guichet: the back-end worker of the dictation portal. No arguments, no configuration:
// everything follows from the folders beside the executable's own folder.
#include "core/guichet.h"
#include "platform/desktop.h"
#include "platform/env.h"
#include "platform/frontend.h"
#include "platform/view.h"
#include "shell/run.h"

int main() {
  using namespace guichet;
  Env* env = Env::Default();
  InstallCloseSignals();
  std::unique_ptr<Desktop> desktop;
  std::unique_ptr<StatusView> view;
  OpenFrontend(&desktop, &view);
  bool instance_free = AcquireInstanceLock(env->ExecutablePath());
  Guichet g(*env, *view, *desktop);
  return RunGuichet(g, instance_free);
}
