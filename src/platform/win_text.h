// Names at the Windows seam: the site's Windows-1252 paths become the wide-character
// names of the Win32 calls ("\" separated), and names read back become Windows-1252.
#pragma once

#include <string>
#include <string_view>

#include "support/text.h"

namespace guichet {

inline std::wstring WidePath(std::string_view path) {
  std::u16string u = ToUtf16(path);
  std::wstring wide(u.begin(), u.end());
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  return wide;
}

// False when the name holds a character Windows-1252 cannot hold.
inline bool NarrowName(std::wstring_view wide, std::string* name) {
  std::u16string u(wide.begin(), wide.end());
  return FromUtf16(u, name);
}

// One argument of a command line, as the C runtime's parser reads it back.
inline std::wstring QuoteArgument(std::wstring_view arg) {
  std::wstring q = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    q.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    q += c;
  }
  q.append(backslashes * 2, L'\\');
  return q + L"\"";
}

}  // namespace guichet
