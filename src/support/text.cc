#include "support/text.h"

#include <array>
#include <charconv>
#include <limits>

namespace guichet {
namespace {

// Unicode code points of the Windows-1252 bytes 0x80 to 0x9F. The five bytes that
// Windows-1252 leaves unused map to the C1 control of the same value, so that every byte
// survives a trip through UTF-8 and back.
constexpr std::array<uint16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

int FromCodePoint(uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == cp) return 0x80 + i;
  return -1;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string FromUtf8(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  const size_t n = utf8.size();
  while (i < n) {
    unsigned char b = static_cast<unsigned char>(utf8[i]);
    int extra = b < 0x80             ? 0
                : (b & 0xE0) == 0xC0 ? 1
                : (b & 0xF0) == 0xE0 ? 2
                : (b & 0xF8) == 0xF0 ? 3
                                     : -1;
    if (extra < 0 || i + extra >= n) {
      out += '?';
      ++i;
      continue;
    }
    uint32_t cp = extra == 0 ? b : b & (0x3F >> extra);
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      unsigned char c = static_cast<unsigned char>(utf8[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok) {
      out += '?';
      ++i;
      continue;
    }
    i += extra + 1;
    int c = FromCodePoint(cp);
    out += c < 0 ? '?' : static_cast<char>(c);
  }
  return out;
}

std::string W(std::string_view utf8) { return FromUtf8(utf8); }

std::string ToUtf8(std::string_view cp1252) {
  std::string out;
  out.reserve(cp1252.size() + cp1252.size() / 4);
  for (char ch : cp1252) {
    unsigned char c = static_cast<unsigned char>(ch);
    AppendUtf8(out, c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : c);
  }
  return out;
}

std::u16string ToUtf16(std::string_view cp1252) {
  std::u16string out;
  out.reserve(cp1252.size());
  for (char ch : cp1252) {
    unsigned char c = static_cast<unsigned char>(ch);
    out += static_cast<char16_t>(c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : c);
  }
  return out;
}

bool FromUtf16(std::u16string_view utf16, std::string* cp1252) {
  std::string out;
  out.reserve(utf16.size());
  for (char16_t u : utf16) {
    // A surrogate, paired or not, is outside Windows-1252 either way.
    int c = FromCodePoint(u);
    if (c < 0) return false;
    out += static_cast<char>(c);
  }
  *cp1252 = std::move(out);
  return true;
}

unsigned char Upper1252(unsigned char c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c == 0x9A || c == 0x9C || c == 0x9E) return c - 0x10;  // š œ ž
  if (c == 0xFF) return 0x9F;                                // ÿ
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  return c;
}

unsigned char Lower1252(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c == 0x8A || c == 0x8C || c == 0x8E) return c + 0x10;
  if (c == 0x9F) return 0xFF;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  return c;
}

std::string ToUpper(std::string_view s) {
  std::string out(s);
  for (char& ch : out) ch = static_cast<char>(Upper1252(static_cast<unsigned char>(ch)));
  return out;
}

std::string ToLower(std::string_view s) {
  std::string out(s);
  for (char& ch : out) ch = static_cast<char>(Lower1252(static_cast<unsigned char>(ch)));
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper1252(static_cast<unsigned char>(a[i])) != Upper1252(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool ContainsNoCase(std::string_view hay, std::string_view needle) {
  return ToUpper(hay).find(ToUpper(needle)) != std::string::npos;
}

std::string Trim(std::string_view s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(' ');
  return std::string(s.substr(b, e - b + 1));
}

bool IsBlank(std::string_view s) { return s.find_first_not_of(' ') == std::string_view::npos; }

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t hit = s.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(s, pos, hit - pos);
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s, pos);
  return out;
}

std::string ReplaceAllNoCase(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string upper = ToUpper(s), key = ToUpper(from);
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t hit = upper.find(key, pos);
    if (hit == std::string::npos) break;
    out.append(s, pos, hit - pos);
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s, pos);
  return out;
}

int64_t LeadingNumber(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  // Accumulated on the negative side, which reaches one further than the positive one,
  // so both ends saturate exactly at the largest and smallest values.
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  int64_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    const int digit = s[i] - '0';
    if (v < (kMin + digit) / 10) return neg ? kMin : std::numeric_limits<int64_t>::max();
    v = v * 10 - digit;
  }
  if (neg) return v;
  return v == kMin ? std::numeric_limits<int64_t>::max() : -v;
}

bool IsDecimalNumber(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

std::vector<std::string> Split(std::string_view s, char sep) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    size_t hit = s.find(sep, pos);
    if (hit == std::string_view::npos) {
      out.emplace_back(s.substr(pos));
      return out;
    }
    out.emplace_back(s.substr(pos, hit - pos));
    pos = hit + 1;
  }
}

std::string Dec(int64_t v) { return std::to_string(v); }

}  // namespace guichet
