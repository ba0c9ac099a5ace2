// The platform-independent part of the Env seam: failure texts and the text-file helpers
// over any Env.
#include "platform/env.h"

#include <algorithm>
#include <cerrno>

#include "support/text.h"

namespace guichet {

// The errno values a platform lacks are left out of the mapping.
Status Status::FromErrno(int err, std::string path) {
  switch (err) {
    case 0:
      return Status();
    case ENOENT:
      return Status(kNotFound, std::move(path));
    case ENOTDIR:
      return Status(kPathNotFound, std::move(path));
    case EACCES:
    case EPERM:
    case EROFS:
#ifdef ETXTBSY
    case ETXTBSY:
#endif
      return Status(kDenied, std::move(path));
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return Status(kDiskFull, std::move(path));
    case EBADF:
    case EMFILE:
    case ENFILE:
      return Status(kBadHandle, std::move(path));
    case EEXIST:
    case ENOTEMPTY:
      return Status(kExists, std::move(path));
#ifdef ELOOP
    case ELOOP:
#endif
    case EISDIR:
    case ENXIO:
      return Status(kNotRegular, std::move(path));
    case EFBIG:
      return Status(kTooLarge, std::move(path));
    default:
      return Status(kIo, std::move(path));
  }
}

std::string Status::Description() const {
  switch (kind_) {
    case kOk:
      return "";
    case kNotFound:
      return "Fichier introuvable";
    case kPathNotFound:
      return W("Chemin d'accès introuvable");
    case kDenied:
      return W("Permission refusée");
    case kDiskFull:
      return "Disque plein";
    case kBadHandle:
      return BadHandleDescription();
    case kExists:
      return W("Le fichier existe déjà");
    case kNotRegular:
      return "Type de fichier incorrect";
    case kTooLarge:
      return "Fichier trop volumineux";
    case kIo:
      break;
  }
  return W("Erreur d'entrée/sortie sur fichier");
}

std::string BadHandleDescription() { return W("Nom ou numéro de fichier incorrect"); }

void Check(const Status& s) {
  if (!s.ok()) throw Failure(s);
}

std::string DescriptionOf(const std::exception& e) {
  if (const Failure* f = dynamic_cast<const Failure*>(&e)) return f->description();
  return e.what();
}

std::vector<std::string> SplitLines(std::string_view c) {
  std::vector<std::string> lines;
  size_t start = 0, i = 0;
  while (i < c.size()) {
    if (c[i] == '\r' || c[i] == '\n') {
      lines.emplace_back(c.substr(start, i - start));
      if (c[i] == '\r' && i + 1 < c.size() && c[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < c.size()) lines.emplace_back(c.substr(start));
  return lines;
}

Status ReadLines(Env& env, const std::string& path, std::vector<std::string>* lines) {
  std::string data;
  Status s = env.ReadFile(path, &data);
  if (!s.ok()) return s;
  *lines = SplitLines(data);
  return s;
}

Status ReadAdminLines(Env& env, const std::string& path, std::vector<std::string>* lines) {
  std::string data;
  Status s = env.ReadAdminFile(path, &data);
  if (!s.ok()) return s;
  *lines = SplitLines(data);
  return s;
}

bool AdminFileExists(Env& env, const std::string& path) {
  FileInfo info;
  return env.GetAdminFileInfo(path, &info).ok();
}

Status ReadFirstLine(Env& env, const std::string& path, std::string* line) {
  std::string data;
  Status s = env.ReadFile(path, &data);
  if (!s.ok()) return s;
  size_t end = data.find_first_of("\r\n");
  *line = data.substr(0, end);
  return s;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  size_t n = 0;
  for (const auto& l : lines) n += l.size() + 2;
  out.reserve(n);
  for (const auto& l : lines) out.append(l).append(kCrLf);
  return out;
}

int64_t FileLen(Env& env, const std::string& path) {
  FileInfo info;
  return env.GetFileInfo(path, &info).ok() ? info.size : 0;
}

bool MatchesListPattern(std::string_view name, std::string_view pat) {
  // Iterative glob with backtracking on the last "*".
  size_t n = 0, p = 0, star = std::string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pat.size() && pat[p] == '*') {
      star = p++;
      mark = n;
    } else if (p < pat.size() &&
               (pat[p] == '?' || Upper1252(static_cast<unsigned char>(pat[p])) ==
                                     Upper1252(static_cast<unsigned char>(name[n])))) {
      ++p, ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pat.size() && pat[p] == '*') ++p;
  return p == pat.size();
}

bool IsTempName(std::string_view name) {
  // "~" name "." process "." count, the count followed by the eight hexadecimal digits of
  // the random part (older versions wrote none).
  auto digits = [](std::string_view t) {
    return !t.empty() &&
           std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  auto hex = [](std::string_view t) {
    return std::all_of(t.begin(), t.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
  };
  if (name.size() < 5 || name[0] != '~') return false;
  size_t last = name.rfind('.');
  if (last == std::string_view::npos || last < 2) return false;
  size_t middle = name.rfind('.', last - 1);
  if (middle == std::string_view::npos || middle < 2) return false;
  std::string_view count = name.substr(last + 1);
  if (count.size() > 8 && hex(count.substr(count.size() - 8))) count.remove_suffix(8);
  return digits(name.substr(middle + 1, last - middle - 1)) && digits(count);
}

void SortListing(std::vector<std::string>* names) {
  std::vector<std::pair<std::string, std::string>> keyed;
  keyed.reserve(names->size());
  for (auto& n : *names) keyed.emplace_back(ToUpper(n), std::move(n));
  std::sort(keyed.begin(), keyed.end());
  names->clear();
  for (auto& k : keyed) names->push_back(std::move(k.second));
}

}  // namespace guichet
