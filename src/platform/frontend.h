// What this machine offers to show Guichet and to look at other windows: the window and
// the window search when there is a desktop, a headless view otherwise.
#pragma once

#include <memory>

#include "platform/desktop.h"
#include "platform/view.h"

namespace guichet {

void OpenFrontend(std::unique_ptr<Desktop>* desktop, std::unique_ptr<StatusView>* view);

}  // namespace guichet
