// The desktop of an X server: the window search that the sibling checks run at start-up
// and on every tick. It walks the whole window tree from the root window, depth-first,
// mapped windows or not, and compares each window's title and class with the patterns.
#pragma once

#include <memory>
#include <string>

#include "platform/desktop.h"

namespace guichet {

// Opens its own connection to the display `display_name` (nullptr: $DISPLAY). Returns
// nullptr when no display can be opened.
std::unique_ptr<Desktop> OpenX11Desktop(const char* display_name = nullptr);

}  // namespace guichet
