#include "batch_file.h"

#include <cstring>

#include "support/names.h"
#include "support/text.h"

namespace guichet::batch {
namespace {

bool Fail(BatchError* error, int line, std::string reason) {
  error->line = line;
  error->reason = std::move(reason);
  return false;
}

bool IsReservedDevice(std::string_view name) {
  // Windows reserves these whatever follows the first dot, and ignores blanks before it.
  std::string base(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  base = ToUpper(base);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$")
    return true;
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
    unsigned char d = static_cast<unsigned char>(base[3]);
    // Digits, and the superscripts one, two and three of Windows-1252.
    return (d >= '0' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
  }
  return false;
}

// One "PATH" in quotes, the whole of `text`.
bool ParsePath(std::string_view text, int line, std::vector<std::string>* parts,
               BatchError* error) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"')
    return Fail(error, line, "the folder must stand alone in double quotes");
  std::string_view inner = text.substr(1, text.size() - 2);
  if (inner.empty()) return Fail(error, line, "empty folder");
  if (inner.size() > 1024) return Fail(error, line, "folder path too long");
  size_t start = 0;
  for (;;) {
    size_t slash = inner.find('\\', start);
    std::string_view part = inner.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (part == "..") {
      parts->emplace_back(part);
    } else {
      std::string why;
      if (part.empty())
        return Fail(error, line, "empty part in folder \"" + std::string(inner) + "\"");
      if (part == ".") return Fail(error, line, "\".\" in folder \"" + std::string(inner) + "\"");
      if (!IsHoldableName(part, &why))
        return Fail(error, line, "folder name \"" + std::string(part) + "\": " + why);
      parts->emplace_back(part);
    }
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return true;
}

// "hvr_" + number + "." + extension (or "*").
bool ParsePattern(std::string_view text, int line, BatchCommand* c, BatchError* error) {
  if (text.size() < 4 || ToUpper(text.substr(0, 4)) != "HVR_")
    return Fail(error, line, "not a document pattern: " + std::string(text));
  std::string_view rest = text.substr(4);
  size_t dot = rest.find('.');
  if (dot == std::string_view::npos) return Fail(error, line, "pattern without extension");
  std::string_view number = rest.substr(0, dot), ext = rest.substr(dot + 1);
  if (!IsValidDocumentNumber(number))
    return Fail(error, line, "not a document number: " + std::string(number));
  if (ext != "*") {
    std::string why;
    if (!IsHoldableName(text, &why))
      return Fail(error, line, "pattern " + std::string(text) + ": " + why);
    if (ext.empty()) return Fail(error, line, "pattern without extension");
  }
  c->number = std::string(number);
  c->extension = std::string(ext);
  return true;
}

}  // namespace

bool IsHoldableName(std::string_view name, std::string* why) {
  auto no = [&](const char* reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  if (name.empty()) return no("empty name");
  if (name.size() > 255) return no("name longer than 255 bytes");
  for (unsigned char c : name) {
    if (c < 32 || c == 127) return no("control character in a name");
    if (c == '"') return no("double quote in a name");
    if (std::strchr("\\/:*?<>|%", c) != nullptr)
      return no("character Windows cannot hold in a name");
  }
  if (name.back() == '.' || name.back() == ' ') return no("name ending in a dot or a space");
  if (IsReservedDevice(name)) return no("reserved device name");
  return true;
}

bool MatchesPattern(std::string_view name, std::string_view number, std::string_view extension) {
  const std::string stem = "hvr_" + std::string(number) + ".";
  if (extension != "*") return EqualsNoCase(name, stem + std::string(extension));
  return name.size() > stem.size() && EqualsNoCase(name.substr(0, stem.size()), stem);
}

std::string PatternText(const BatchCommand& c) { return "hvr_" + c.number + "." + c.extension; }

bool ParseBatchFile(std::string_view content, std::vector<BatchCommand>* commands,
                    BatchError* error) {
  if (content.size() > kMaxBatchFileBytes) return Fail(error, 0, "file larger than 64 KiB");
  std::vector<BatchCommand> out;
  size_t pos = 0;
  int number = 0;
  while (pos < content.size()) {
    size_t lf = content.find('\n', pos);
    std::string_view line =
        content.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    pos = lf == std::string_view::npos ? content.size() : lf + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    for (unsigned char c : line)
      if (c < 32 || c == 127) return Fail(error, number, "control character");
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
    if (line.empty()) continue;

    size_t space = line.find(' ');
    if (space == std::string_view::npos)
      return Fail(error, number, "unknown command: " + std::string(line));
    std::string word = ToLower(line.substr(0, space));
    std::string_view rest = line.substr(space);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);

    BatchCommand c;
    c.line = number;
    if (word == "mkdir") {
      c.kind = BatchCommand::kMkdir;
      if (!ParsePath(rest, number, &c.path, error)) return false;
    } else if (word == "move") {
      c.kind = BatchCommand::kMove;
      size_t gap = rest.find(' ');
      if (gap == std::string_view::npos) return Fail(error, number, "move without a folder");
      std::string_view target = rest.substr(gap);
      while (!target.empty() && target.front() == ' ') target.remove_prefix(1);
      if (!ParsePattern(rest.substr(0, gap), number, &c, error)) return false;
      if (!ParsePath(target, number, &c.path, error)) return false;
    } else {
      return Fail(error, number, "unknown command: " + std::string(line.substr(0, space)));
    }
    out.push_back(std::move(c));
  }
  if (out.empty()) return Fail(error, 0, "no command");
  *commands = std::move(out);
  return true;
}

}  // namespace guichet::batch
