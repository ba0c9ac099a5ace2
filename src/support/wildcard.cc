#include "support/wildcard.h"

#include <vector>

namespace guichet {
namespace {

// Matches one character against the pattern element at `p`; sets `next` to the element
// after it. Returns false for a malformed list (no closing "]"), which then matches
// nothing.
bool MatchOne(unsigned char c, std::string_view pat, size_t p, size_t& next, bool& ok) {
  ok = true;
  char pc = pat[p];
  if (pc == '?') {
    next = p + 1;
    return true;
  }
  if (pc == '#') {
    next = p + 1;
    return c >= '0' && c <= '9';
  }
  if (pc == '[') {
    size_t close = pat.find(']', p + 1);
    if (close == std::string_view::npos) {
      ok = false;
      return false;
    }
    size_t i = p + 1;
    bool negate = i < close && pat[i] == '!';
    if (negate) ++i;
    bool hit = false;
    while (i < close) {
      unsigned char lo = static_cast<unsigned char>(pat[i]);
      if (i + 2 < close && pat[i + 1] == '-') {
        unsigned char hi = static_cast<unsigned char>(pat[i + 2]);
        if (c >= lo && c <= hi) hit = true;
        i += 3;
      } else {
        if (c == lo) hit = true;
        ++i;
      }
    }
    next = close + 1;
    return hit != negate;
  }
  next = p + 1;
  return static_cast<unsigned char>(pc) == c;
}

}  // namespace

bool MatchesLike(std::string_view text, std::string_view pat) {
  // Backtracking on the last "*" only: linear in practice, never exponential.
  size_t t = 0, p = 0;
  size_t star_p = std::string_view::npos, star_t = 0;
  while (t < text.size()) {
    if (p < pat.size() && pat[p] == '*') {
      star_p = p++;
      star_t = t;
      continue;
    }
    if (p < pat.size()) {
      size_t next;
      bool ok;
      if (MatchOne(static_cast<unsigned char>(text[t]), pat, p, next, ok)) {
        p = next;
        ++t;
        continue;
      }
      if (!ok) return false;
    }
    if (star_p == std::string_view::npos) return false;
    p = star_p + 1;
    t = ++star_t;
  }
  while (p < pat.size() && pat[p] == '*') ++p;
  return p == pat.size();
}

}  // namespace guichet
