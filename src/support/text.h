// Text helpers for Windows-1252 text held in std::string.
//
// Inside Guichet every text is a run of Windows-1252 bytes, one byte a character, exactly
// as the files on disk hold them. Source files are UTF-8, so a literal that holds a
// non-ASCII character goes through W() once to become the bytes the system writes.
// Case folding follows Windows-1252 (é <-> É), never the C locale.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace guichet {

// Converts UTF-8 text (a source literal) to Windows-1252. Characters that Windows-1252
// cannot hold become "?".
std::string W(std::string_view utf8);

// Converts Windows-1252 text to UTF-8 (for display, standard error and outside stores),
// and back. The five bytes Windows-1252 leaves unused travel as the C1 controls of the
// same value, so every byte survives the round trip; what Windows-1252 cannot hold, and
// bytes that are not UTF-8, come back as "?".
std::string ToUtf8(std::string_view cp1252);
std::string FromUtf8(std::string_view utf8);

// Converts Windows-1252 text to UTF-16 (the wide-character names of the Windows calls),
// and back. FromUtf16 fails on a character Windows-1252 cannot hold (surrogates
// included): a name that cannot be written in Windows-1252 is not one Guichet can name,
// and is never replaced by a look-alike.
std::u16string ToUtf16(std::string_view cp1252);
bool FromUtf16(std::u16string_view utf16, std::string* cp1252);

// Windows-1252 upper and lower case of one byte and of a whole text.
unsigned char Upper1252(unsigned char c);
unsigned char Lower1252(unsigned char c);
std::string ToUpper(std::string_view s);
std::string ToLower(std::string_view s);
bool EqualsNoCase(std::string_view a, std::string_view b);
// True when `hay` holds `needle` without regard to case.
bool ContainsNoCase(std::string_view hay, std::string_view needle);

// Removes leading and trailing spaces (only the space character, as the design's Trim).
std::string Trim(std::string_view s);
// True when the text holds nothing but spaces (or is empty).
bool IsBlank(std::string_view s);

// Replaces every occurrence of `from` (exact case) by `to`.
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);
// Replaces every occurrence of `from`, found without regard to case, by `to`.
std::string ReplaceAllNoCase(std::string_view s, std::string_view from, std::string_view to);

// Numeric value of the leading decimal number of a text (leading spaces skipped, an
// optional sign), 0 when there is none. Saturates instead of overflowing.
int64_t LeadingNumber(std::string_view s);
// True when the whole text is a decimal integer (optional sign, at least one digit).
bool IsDecimalNumber(std::string_view s);

// Splits at every occurrence of one separator character; always at least one field.
std::vector<std::string> Split(std::string_view s, char sep);

// Decimal text of a number.
std::string Dec(int64_t v);

// The bytes CR LF that end every line Guichet writes.
inline constexpr std::string_view kCrLf = "\r\n";

}  // namespace guichet
