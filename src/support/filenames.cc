#include "support/filenames.h"

#include "support/names.h"
#include "support/text.h"

namespace guichet {
namespace {

constexpr std::string_view kPrefix = "hvr_";

}  // namespace

std::string DocumentFileName(std::string_view number, std::string_view ending) {
  std::string name(kPrefix);
  name.append(number).append(ending);
  return name;
}

std::string DocumentFamilyPattern(std::string_view number) {
  return DocumentFileName(number, ".*");
}

std::string DocumentsPattern(std::string_view ending) { return DocumentFileName("*", ending); }

std::string StageFolder(std::string_view stage, std::string_view author) {
  std::string folder(stage);
  folder.append("/").append(author);
  return folder;
}

bool ParseDocumentFileName(std::string_view name, std::string* number, std::string* ending) {
  if (name.size() <= kPrefix.size() || !EqualsNoCase(name.substr(0, kPrefix.size()), kPrefix))
    return false;
  const std::string_view rest = name.substr(kPrefix.size());
  const size_t dot = rest.find('.');
  if (dot == std::string_view::npos || dot + 1 >= rest.size()) return false;
  const std::string_view n = rest.substr(0, dot);
  if (!IsValidDocumentNumber(n)) return false;
  *number = std::string(n);
  *ending = std::string(rest.substr(dot));
  return true;
}

}  // namespace guichet
