#include <unistd.h>

#include "platform/fltk_view.h"
#include "platform/frontend.h"
#include "platform/x11_desktop.h"

namespace guichet {

void OpenFrontend(std::unique_ptr<Desktop>* desktop, std::unique_ptr<StatusView>* view) {
  // With an X display: the window, and the window search on that display (its own
  // connection, open before the sibling checks of the start-up). Without one: headless.
  *desktop = OpenX11Desktop();
  if (*desktop) {
    *view = MakeFltkView();
  } else {
    *desktop = MakeNoDesktop();
    *view = isatty(1) ? MakeConsoleView() : MakeSilentView();
  }
}

}  // namespace guichet
