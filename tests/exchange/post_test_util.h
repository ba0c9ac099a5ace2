// Builds piece files the way the web front end writes them, for the upload tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/datetime.h"
#include "support_lib/site.h"

namespace guichet::test {

inline std::string HexOf(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

inline std::string Base64Of(const std::string& bytes) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 |
                 (unsigned char)bytes[i + 2];
    out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], a[v & 63]};
  }
  if (i + 1 == bytes.size()) {
    unsigned v = (unsigned char)bytes[i] << 16;
    out += {a[v >> 18], a[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
    out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], '='};
  }
  return out;
}

// One piece line of a document: bytes [offset, offset + size) of `doc`, with "length="
// `length` (the size unless a test lies), "totallength=" when `total` is not -1.
inline std::string PieceLine(const std::string& doc, int id, const std::string& ext, size_t offset,
                             size_t size, bool base64, int64_t total, int64_t length = -1) {
  std::string part = doc.substr(offset, size);
  std::string line = "path=C:[5C]dict&idexamen=" + std::to_string(id) + "&extension=" + ext +
                     "&offset=" + std::to_string(offset) +
                     "&length=" + std::to_string(length < 0 ? part.size() : length);
  if (total != -1) line += "&totallength=" + std::to_string(total);
  line += std::string("&encoding=") + (base64 ? "base64" : "hex");
  line += "&data=" + (base64 ? Base64Of(part) : HexOf(part));
  return line;
}

// Drops a piece: its ".txt", then its ".rdy" marker, dated `marker_time`.
inline void DropPiece(const std::string& spool, const std::string& name, const std::string& line,
                      const DateTime& marker_time) {
  MakeDirs(spool + "/post");
  DropFile(spool + "/post/" + name + ".txt", line + "\r\n");
  DropFile(spool + "/post/" + name + ".rdy", "");
  SetMtime(spool + "/post/" + name + ".rdy", ToUnixLocal(marker_time));
}

inline std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x & 0xFF);
  }
  return s;
}

// Compares two byte strings without printing them whole.
inline ::testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return ::testing::AssertionFailure()
         << "sizes " << got.size() << " and " << want.size() << ", first difference at byte " << i;
}

}  // namespace guichet::test
