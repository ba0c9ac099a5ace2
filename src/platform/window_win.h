// The Windows desktop: the main window `frmGuichet` as a native Win32 window, and the
// window search over every window of the desktop.
#pragma once

#include <memory>

#include "platform/desktop.h"
#include "platform/view.h"

namespace guichet {

// The window view: the counters, the progress labels, the activity list and the two
// buttons at the design's positions (twips, 15 a pixel at 96 dots per inch, scaled to the
// screen's DPI), flush with the right edge of the work area and 1000 twips from the top.
// Closing it asks the shell, which refuses while a request is in hand. nullptr when no
// window can be made (wine without a display).
std::unique_ptr<StatusView> MakeWindowView();

// Counts the windows whose title and class match, walking from the desktop window
// through every child, depth-first (EnumChildWindows), with 255-character title and
// class buffers.
std::unique_ptr<Desktop> MakeWindowsDesktop();

// Twips to pixels at `dpi` dots per inch (1440 twips an inch), rounded.
inline int TwipsToPixelsAt(int twips, int dpi) { return (twips * dpi + 720) / 1440; }

}  // namespace guichet
