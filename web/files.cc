#include "files.h"

#include <cstdio>

#include "exchange/decode.h"
#include "os.h"
#include "platform/env.h"
#include "spool_writer.h"
#include "workflow/listings.h"

namespace guichet::web {

namespace {

std::string Real(const std::string& path) { return os::RealPath(path); }

bool Inside(const std::string& real, const std::string& root) {
  return !root.empty() && real.size() > root.size() && real.compare(0, root.size(), root) == 0 &&
         real[root.size()] == '/';
}

bool InsideAny(const std::string& real, const std::vector<std::string>& roots) {
  for (const std::string& r : roots)
    if (Inside(real, r)) return true;
  return false;
}

std::string TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return std::string(s);
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

constexpr int64_t kMaxRightsBytes = 16 << 20;

}  // namespace

std::string RealFolder(const std::string& path) {
  std::string r = Real(path);
  if (r.empty() || os::KindOf(r, true) != os::Kind::kFolder) return "";
  return r;
}

bool RightsAllow(const std::string& rights_folder, std::string_view token, std::string_view f,
                 time_t now, std::string* plain) {
  if (token.empty() || token.size() > 128 || f.empty() || f.size() > 4096) return false;
  for (char c : token)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  if (f.find('\0') != std::string_view::npos) return false;
  const std::string path = rights_folder + "/~" + std::string(token) + ".lst";
  time_t modified;
  if (!os::FileModified(path, &modified)) return false;
  // A list that Guichet would throw away as stale grants nothing.
  if (now - modified > 24 * 3600) return false;
  std::string data;
  if (!ReadSmallFile(path, &data, kMaxRightsBytes)) return false;
  std::vector<std::string> entries;
  for (const std::string& line : SplitLines(data)) {
    std::string t = TrimBlanks(line);
    if (!t.empty()) entries.push_back(t);
  }
  // The entry is the encoded path; the client sends it as the answer showed it (encoded)
  // or decoded.
  std::vector<std::string> candidates = {DecodeBrackets(f), std::string(f)};
  for (const std::string& c : candidates) {
    const std::string code = CodeNomFichier(TrimBlanks(c));
    for (const std::string& e : entries)
      if (e == code || LowerAscii(e) == LowerAscii(code)) {
        *plain = TrimBlanks(c);
        return true;
      }
  }
  return false;
}

std::string ResolveInside(const std::string& path, const std::vector<std::string>& roots) {
  if (!os::IsAbsolute(path) || path.find('\0') != std::string::npos) return "";
  // Guichet wrote the path in lower case; the file layer finds its real spelling.
  std::string found = Env::Default()->Resolve(path);
  std::string real = Real(found);
  if (real.empty() || !InsideAny(real, roots)) return "";
  if (os::KindOf(real, true) != os::Kind::kFile) return "";
  return real;
}

os::File OpenInside(const std::string& real, const std::vector<std::string>& roots, int64_t* size,
                    int* error) {
  os::File file = os::File::OpenRead(real, error);
  // What was opened must still be inside: a folder swapped for a link since the check
  // shows here.
  if (!file.is_open() || !InsideAny(file.RealPath(), roots)) return os::File();
  *size = file.Size();
  if (*size < 0) return os::File();
  return file;
}

std::string StaticFile(const std::string& www_real, std::string_view target) {
  if (www_real.empty() || target.empty() || target[0] != '/') return "";
  std::string path;
  // Decode, then check every segment of what was decoded: "%2e%2e" is "..".
  for (size_t i = 0; i < target.size(); ++i) {
    char c = target[i];
    if (c == '%') {
      if (i + 2 >= target.size()) return "";
      auto hex = [](char h) {
        return h >= '0' && h <= '9'   ? h - '0'
               : h >= 'a' && h <= 'f' ? h - 'a' + 10
               : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                      : -1;
      };
      int hi = hex(target[i + 1]), lo = hex(target[i + 2]);
      if (hi < 0 || lo < 0) return "";
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    // A ":" would name a stream of a file, or a drive, on Windows.
    if (c == '\0' || c == '\\' || c == ':') return "";
    path += c;
  }
  size_t pos = 1;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    std::string_view seg = std::string_view(path).substr(
        pos, slash == std::string::npos ? std::string::npos : slash - pos);
    if (!seg.empty() && seg[0] == '.') return "";  // "..", "." and hidden names
    if (slash == std::string::npos) break;
    if (seg.empty()) return "";  // "//"
    pos = slash + 1;
  }
  std::string full = www_real + path;
  if (os::KindOf(full, true) == os::Kind::kFolder) {
    if (full.back() != '/') full += '/';
    full += "index.html";
  }
  std::string real = Real(full);
  if (real.empty() || !Inside(real, www_real)) return "";
  if (os::KindOf(real, true) != os::Kind::kFile) return "";
  return real;
}

std::string ContentTypeFor(std::string_view name) {
  size_t dot = name.rfind('.');
  size_t slash = name.rfind('/');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
    return "application/octet-stream";
  const std::string ext = LowerAscii(name.substr(dot + 1));
  static const std::pair<const char*, const char*> kTypes[] = {
      {"wav", "audio/wav"},
      {"caf", "audio/x-caf"},
      {"spx", "audio/ogg"},
      {"ogg", "audio/ogg"},
      {"mp3", "audio/mpeg"},
      {"pdf", "application/pdf"},
      {"rtf", "application/rtf"},
      {"txt", "text/plain; charset=windows-1252"},
      {"info", "text/plain; charset=windows-1252"},
      {"hved", "text/plain; charset=windows-1252"},
      {"urg", "text/plain; charset=windows-1252"},
      {"htm", "text/html; charset=windows-1252"},
      {"html", "text/html; charset=windows-1252"},
      {"css", "text/css"},
      {"js", "text/javascript"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"png", "image/png"},
      {"gif", "image/gif"},
      {"bmp", "image/bmp"},
      {"svg", "image/svg+xml"},
      {"ico", "image/x-icon"},
  };
  for (const auto& [e, t] : kTypes)
    if (ext == e) return t;
  return "application/octet-stream";
}

RangeResult ParseRange(std::string_view h, int64_t size, int64_t* first, int64_t* last) {
  auto trim = [](std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
  };
  h = trim(h);
  const size_t eq = h.find('=');
  if (eq == std::string_view::npos || LowerAscii(trim(h.substr(0, eq))) != "bytes")
    return RangeResult::kNone;
  h = trim(h.substr(eq + 1));
  if (h.find(',') != std::string_view::npos) return RangeResult::kNone;
  size_t dash = h.find('-');
  if (dash == std::string_view::npos) return RangeResult::kNone;
  auto number = [](std::string_view s, int64_t* v) {
    if (s.empty() || s.size() > 18) return false;
    int64_t n = 0;
    for (char c : s) {
      if (c < '0' || c > '9') return false;
      n = n * 10 + (c - '0');
    }
    *v = n;
    return true;
  };
  std::string_view a = trim(h.substr(0, dash)), b = trim(h.substr(dash + 1));
  int64_t x, y;
  if (a.empty()) {  // the last y bytes
    if (!number(b, &y)) return RangeResult::kNone;
    if (y == 0 || size == 0) return RangeResult::kUnsatisfiable;
    *first = y >= size ? 0 : size - y;
    *last = size - 1;
    return RangeResult::kOne;
  }
  if (!number(a, &x)) return RangeResult::kNone;
  if (b.empty()) {
    y = size - 1;
  } else {
    if (!number(b, &y) || y < x) return RangeResult::kNone;
    if (y >= size) y = size - 1;
  }
  if (x >= size) return RangeResult::kUnsatisfiable;
  *first = x;
  *last = y;
  return RangeResult::kOne;
}

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kDays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};  // from 1970-01-01

// The entity tags of a list ("*" gives one entry "*"); false when the list is malformed.
bool EntityTags(std::string_view list, std::vector<std::pair<bool, std::string_view>>* tags) {
  size_t i = 0;
  while (i < list.size()) {
    const char c = list[i];
    if (c == ' ' || c == '\t' || c == ',') {
      ++i;
      continue;
    }
    if (c == '*') {
      tags->emplace_back(false, "*");
      ++i;
      continue;
    }
    bool weak = false;
    if (list.substr(i, 2) == "W/") weak = true, i += 2;
    if (i >= list.size() || list[i] != '"') return false;
    const size_t close = list.find('"', i + 1);
    if (close == std::string_view::npos) return false;
    tags->emplace_back(weak, list.substr(i, close - i + 1));
    i = close + 1;
  }
  return !tags->empty();
}

}  // namespace

Validators ValidatorsOf(int64_t size, int64_t modified_ns) {
  char tag[64];
  snprintf(tag, sizeof tag, "\"%llx-%llx\"", static_cast<unsigned long long>(modified_ns),
           static_cast<unsigned long long>(size));
  Validators v;
  v.etag = tag;
  v.modified = modified_ns >= 0 ? modified_ns / 1000000000 : 0;
  v.last_modified = HttpDate(v.modified);
  return v;
}

std::string HttpDate(int64_t seconds) {
  int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) rest += 86400, --days;
  int64_t y;
  int m, d;
  CivilFromDays(days, &y, &m, &d);
  char buf[64];
  snprintf(buf, sizeof buf, "%s, %02d %s %04lld %02d:%02d:%02d GMT", kDays[((days % 7) + 7) % 7], d,
           kMonths[m - 1], static_cast<long long>(y), static_cast<int>(rest / 3600),
           static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return buf;
}

bool ParseHttpDate(std::string_view t, int64_t* seconds) {
  // Split into words at blanks, commas, "-" and ":".
  std::vector<std::string_view> w;
  size_t i = 0;
  while (i < t.size()) {
    if (std::string_view(" ,-:").find(t[i]) != std::string_view::npos) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < t.size() && std::string_view(" ,-:").find(t[j]) == std::string_view::npos) ++j;
    w.push_back(t.substr(i, j - i));
    i = j;
  }
  auto number = [](std::string_view s, int64_t* v) {
    if (s.empty() || s.size() > 4) return false;
    int64_t n = 0;
    for (char c : s) {
      if (c < '0' || c > '9') return false;
      n = n * 10 + (c - '0');
    }
    *v = n;
    return true;
  };
  auto month = [](std::string_view s) {
    for (int k = 0; k < 12; ++k)
      if (s == kMonths[k]) return k + 1;
    return 0;
  };
  int64_t day, year, hh, mm, ss;
  int mon;
  if (w.size() == 8 && w[7] == "GMT") {
    // "Sun, 06 Nov 1994 08:49:37 GMT" and "Sunday, 06-Nov-94 08:49:37 GMT"
    if (!number(w[1], &day) || !(mon = month(w[2])) || !number(w[3], &year)) return false;
    if (w[3].size() == 2) year += year < 70 ? 2000 : 1900;  // two digits: within 50 years
    if (!number(w[4], &hh) || !number(w[5], &mm) || !number(w[6], &ss)) return false;
  } else if (w.size() == 7) {
    // "Sun Nov  6 08:49:37 1994"
    if (!(mon = month(w[1])) || !number(w[2], &day) || !number(w[3], &hh) || !number(w[4], &mm) ||
        !number(w[5], &ss) || !number(w[6], &year))
      return false;
  } else {
    return false;
  }
  if (day < 1 || day > 31 || hh > 23 || mm > 59 || ss > 60 || year < 1900) return false;
  *seconds = DaysFromCivil(year, mon, static_cast<int>(day)) * 86400 + hh * 3600 + mm * 60 + ss;
  return true;
}

Precondition Evaluate(const Conditions& c, const Validators& file) {
  std::vector<std::pair<bool, std::string_view>> tags;
  int64_t when;
  if (!c.if_match.empty()) {
    bool any = false;
    if (EntityTags(c.if_match, &tags))
      for (const auto& [weak, tag] : tags)
        if (tag == "*" || (!weak && tag == file.etag)) any = true;
    if (!any) return Precondition::kFailed;
  } else if (!c.if_unmodified_since.empty() && ParseHttpDate(c.if_unmodified_since, &when) &&
             file.modified > when) {
    return Precondition::kFailed;
  }
  tags.clear();
  if (!c.if_none_match.empty()) {
    bool any = false;
    if (EntityTags(c.if_none_match, &tags))
      for (const auto& [weak, tag] : tags)
        if (tag == "*" || tag == file.etag) any = true;  // weak comparison
    if (any) return c.get_or_head ? Precondition::kNotModified : Precondition::kFailed;
  } else if (c.get_or_head && !c.if_modified_since.empty() &&
             ParseHttpDate(c.if_modified_since, &when) && file.modified <= when) {
    return Precondition::kNotModified;
  }
  return Precondition::kProceed;
}

bool IfRangeHolds(std::string_view if_range, const Validators& file) {
  while (!if_range.empty() && (if_range.front() == ' ' || if_range.front() == '\t'))
    if_range.remove_prefix(1);
  while (!if_range.empty() && (if_range.back() == ' ' || if_range.back() == '\t'))
    if_range.remove_suffix(1);
  if (if_range.empty()) return true;
  if (if_range.front() == '"') return if_range == file.etag;
  if (if_range.substr(0, 2) == "W/") return false;  // a weak tag never holds here
  int64_t when;
  return ParseHttpDate(if_range, &when) && when == file.modified;
}

}  // namespace guichet::web
