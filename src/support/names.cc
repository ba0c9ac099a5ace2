#include "support/names.h"

#include <cstring>

#include "support/text.h"

namespace guichet {
namespace {

bool Forbidden(unsigned char c) {
  return c < 32 || c == 127 || std::strchr("\\/:*?\"<>|%", c) != nullptr;
}

}  // namespace

bool IsValidDocumentNumber(std::string_view s) {
  if (s.empty() || s.size() > 64) return false;
  for (char c : s) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

bool IsValidNamePart(std::string_view s) {
  if (s.empty() || s.size() > kMaxNamePartBytes) return false;
  bool only_dots_spaces = true;
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (Forbidden(c)) return false;
    if (c != '.' && c != ' ') only_dots_spaces = false;
  }
  return !only_dots_spaces;
}

bool IsValidExtension(std::string_view s) {
  if (s.empty()) return true;
  return s[0] == '.' && IsValidNamePart(s.substr(1));
}

std::string ArchiveName(std::string_view first_line) {
  std::string name = Trim(first_line);
  for (char& ch : name)
    if (Forbidden(static_cast<unsigned char>(ch))) ch = '_';
  for (size_t i = name.size(); i > 0 && name[i - 1] == '.'; --i) name[i - 1] = '_';
  return name;
}

std::string RequestBaseName(std::string_view name) {
  if (name.size() > 4 && ToUpper(name.substr(name.size() - 4)) == ".REQ")
    return std::string(name.substr(0, name.size() - 4));
  return std::string(name);
}

}  // namespace guichet
