#include "platform/datetime.h"

#include <ctime>

namespace guichet {
namespace {

// Howard Hinnant's days_from_civil / civil_from_days.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

void Pad(std::string& out, int v, int width) {
  std::string s = std::to_string(v < 0 ? -v : v);
  while (static_cast<int>(s.size()) < width) s.insert(s.begin(), '0');
  out += s;
}

// Reads 1 to `max` digits at `pos`.
bool Digits(std::string_view s, size_t& pos, int max, int& value) {
  size_t start = pos;
  value = 0;
  while (pos < s.size() && pos - start < static_cast<size_t>(max) && s[pos] >= '0' && s[pos] <= '9')
    value = value * 10 + (s[pos++] - '0');
  return pos > start;
}

}  // namespace

int64_t DateTime::DayNumber() const { return DaysFromCivil(year, month, day); }

int64_t DateTime::Serial() const {
  return DayNumber() * 86400 + hour * 3600 + minute * 60 + second;
}

DateTime DateTime::FromSerial(int64_t serial) {
  DateTime t;
  int64_t days = FloorDiv(serial, 86400);
  int64_t rest = serial - days * 86400;
  CivilFromDays(days, t.year, t.month, t.day);
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  return t;
}

int64_t DiffSeconds(const DateTime& a, const DateTime& b) { return b.Serial() - a.Serial(); }
int64_t DiffMinutes(const DateTime& a, const DateTime& b) {
  return FloorDiv(b.Serial(), 60) - FloorDiv(a.Serial(), 60);
}
int64_t DiffHours(const DateTime& a, const DateTime& b) {
  return FloorDiv(b.Serial(), 3600) - FloorDiv(a.Serial(), 3600);
}
int64_t DiffDays(const DateTime& a, const DateTime& b) { return b.DayNumber() - a.DayNumber(); }

std::string Format(const DateTime& t, std::string_view pattern) {
  std::string out;
  size_t i = 0;
  auto at = [&](std::string_view token) { return pattern.substr(i, token.size()) == token; };
  while (i < pattern.size()) {
    if (at("yyyy")) {
      Pad(out, t.year, 4), i += 4;
    } else if (at("yy")) {
      Pad(out, t.year % 100, 2), i += 2;
    } else if (at("mm")) {
      Pad(out, t.month, 2), i += 2;
    } else if (at("dd")) {
      Pad(out, t.day, 2), i += 2;
    } else if (at("hh")) {
      Pad(out, t.hour, 2), i += 2;
    } else if (at("nn")) {
      Pad(out, t.minute, 2), i += 2;
    } else if (at("ss")) {
      Pad(out, t.second, 2), i += 2;
    } else {
      out += pattern[i++];
    }
  }
  return out;
}

std::string GeneralDate(const DateTime& t) { return Format(t, "dd/mm/yyyy hh:nn:ss"); }

bool IsValidDate(int year, int month, int day) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int max = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  return day <= max;
}

std::optional<DateTime> ParseDate(std::string_view s) {
  size_t pos = 0;
  while (pos < s.size() && s[pos] == ' ') ++pos;
  DateTime t;
  if (!Digits(s, pos, 2, t.day) || pos >= s.size() || s[pos++] != '/') return std::nullopt;
  if (!Digits(s, pos, 2, t.month) || pos >= s.size() || s[pos++] != '/') return std::nullopt;
  size_t ystart = pos;
  if (!Digits(s, pos, 4, t.year) || pos - ystart != 4) return std::nullopt;
  t.hour = t.minute = t.second = 0;
  size_t after = pos;
  while (pos < s.size() && s[pos] == ' ') ++pos;
  if (pos < s.size()) {
    if (pos == after) return std::nullopt;  // time must be separated by a blank
    if (!Digits(s, pos, 2, t.hour) || pos >= s.size() || s[pos++] != ':') return std::nullopt;
    size_t mstart = pos;
    if (!Digits(s, pos, 2, t.minute) || pos - mstart != 2) return std::nullopt;
    if (pos < s.size() && s[pos] == ':') {
      ++pos;
      size_t sstart = pos;
      if (!Digits(s, pos, 2, t.second) || pos - sstart != 2) return std::nullopt;
    }
    while (pos < s.size() && s[pos] == ' ') ++pos;
    if (pos != s.size()) return std::nullopt;
    if (t.hour > 23 || t.minute > 59 || t.second > 59) return std::nullopt;
  }
  if (!IsValidDate(t.year, t.month, t.day)) return std::nullopt;
  return t;
}

DateTime FromUnixLocal(int64_t unix_seconds) {
  time_t tt = static_cast<time_t>(unix_seconds);
  struct tm tm {};
#ifdef _WIN32
  localtime_s(&tm, &tt);
#else
  localtime_r(&tt, &tm);
#endif
  DateTime t;
  t.year = tm.tm_year + 1900, t.month = tm.tm_mon + 1, t.day = tm.tm_mday;
  t.hour = tm.tm_hour, t.minute = tm.tm_min, t.second = tm.tm_sec;
  return t;
}

int64_t ToUnixLocal(const DateTime& t) {
  struct tm tm {};
  tm.tm_year = t.year - 1900, tm.tm_mon = t.month - 1, tm.tm_mday = t.day;
  tm.tm_hour = t.hour, tm.tm_min = t.minute, tm.tm_sec = t.second;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&tm));
}

}  // namespace guichet
