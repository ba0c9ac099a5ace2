// The pattern matcher for window titles and classes: "*" any run of characters (also
// none), "?" any one character, "#" one digit, "[list]" one character of the list,
// "[!list]" one character outside it (a list may hold ranges such as "A-Z"); every other
// character matches itself, exactly. Callers upper-case both sides first.
#pragma once

#include <string_view>

namespace guichet {

bool MatchesLike(std::string_view text, std::string_view pattern);

}  // namespace guichet
