// Local date and time, as Guichet reads and writes it.
//
// A DateTime is a broken-down local time (no time zone arithmetic inside Guichet). The
// design counts intervals as boundaries crossed ("more than 30 minutes" means 31 or more
// minute boundaries between the two times), which the Diff functions give directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace guichet {

struct DateTime {
  int year = 1899, month = 12, day = 30;  // the zero date
  int hour = 0, minute = 0, second = 0;

  // Days since 1970-01-01 of the date part (negative before).
  int64_t DayNumber() const;
  // Seconds since 1970-01-01 00:00:00 counted on the local clock face.
  int64_t Serial() const;
  static DateTime FromSerial(int64_t serial);

  DateTime AddSeconds(int64_t s) const { return FromSerial(Serial() + s); }
  DateTime AddHours(int64_t h) const { return AddSeconds(h * 3600); }

  bool operator==(const DateTime& o) const { return Serial() == o.Serial(); }
  bool operator<(const DateTime& o) const { return Serial() < o.Serial(); }
  bool operator<=(const DateTime& o) const { return Serial() <= o.Serial(); }
};

// Boundaries crossed from a to b (negative when b is earlier).
int64_t DiffSeconds(const DateTime& a, const DateTime& b);
int64_t DiffMinutes(const DateTime& a, const DateTime& b);
int64_t DiffHours(const DateTime& a, const DateTime& b);
int64_t DiffDays(const DateTime& a, const DateTime& b);

// Formats with the design's patterns: dd mm yyyy yy hh nn ss, any other character as is.
// Examples: "dd/mm/yyyy hh:nn", "yyyymmddhhnnss", "yyyy-mm-dd".
std::string Format(const DateTime& t, std::string_view pattern);

// The general date text, "dd/mm/yyyy hh:nn:ss".
std::string GeneralDate(const DateTime& t);

// Reads a date in day/month/year order: d/m/yyyy or dd/mm/yyyy, optionally followed by
// a blank and hh:nn or hh:nn:ss. Surrounding blanks are allowed. Impossible dates
// (31/02/2026, 25:00) are rejected.
std::optional<DateTime> ParseDate(std::string_view text);

bool IsValidDate(int year, int month, int day);

// Conversion between the system's time_t and local DateTime.
DateTime FromUnixLocal(int64_t unix_seconds);
int64_t ToUnixLocal(const DateTime& t);

}  // namespace guichet
