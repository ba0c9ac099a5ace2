// The main window `frmGuichet` on an X display, drawn with FLTK: the counters, the
// progress labels, the activity list and the two buttons, at the positions of the design
// (in twips, 15 twips a pixel), placed flush with the right edge of the screen and 1000
// twips from the top. Message boxes are modal dialogs, the beep is the X bell. Texts
// arrive in Windows-1252 and are converted to UTF-8 for display only.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/view.h"

namespace guichet {

// The window view. FLTK opens its own display connection (DISPLAY) when the window or a
// message box is first shown.
std::unique_ptr<StatusView> MakeFltkView();

// The text a caption with access-key markers shows: "&&" is one "&", and a single "&"
// (which marks the next letter as the access key) is not shown.
std::string ShownText(std::string_view caption);

// Twips to pixels at 15 twips a pixel, rounded to the nearest pixel.
inline constexpr int TwipsToPixels(int twips) { return (twips * 2 + 15) / 30; }

}  // namespace guichet
