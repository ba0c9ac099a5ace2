// Payload decoding of uploaded pieces: the hexadecimal and Base64 payload decoders, the
// bracket escapes of header values, and the conversion of UTF-8 text to the single-byte
// Windows-1252 text in which text documents are stored. Nothing here touches a file.
//
// Positions are byte indexes from 0 into the piece line; a line may be of any length.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace guichet {

// The Base64 value of one character code (a table built at compile time): "A"-"Z" 0-25,
// "a"-"z" 26-51, "0"-"9" 52-61, "+" 62, "/" 63, every other code (including "=") 63.
uint16_t Base64Value(unsigned char c);

// Four characters in, three bytes out.
void DecodeBase64Quad(unsigned char a, unsigned char b, unsigned char c, unsigned char d,
                      unsigned char out[3]);

// Hexadecimal payload from `pos`: two digits a byte, ending at an "&" at the start of a
// pair or when fewer than two characters remain. A pair is read as a hexadecimal number
// that stops at the first non-digit (no digit at all gives 0).
std::string DecodeHexPayload(std::string_view line, size_t pos);

// Base64 payload from `pos`: groups of four characters, ending at the first group that
// holds "&" or when fewer than two characters remain (a short last group is completed
// with zero values). Then the padding bytes are dropped by `length` (the piece's
// "length="): 2 bytes when it leaves 1 on division by 3, 1 byte when it leaves 2.
std::string DecodeBase64Payload(std::string_view line, size_t pos, int64_t length);

// Replaces each escape "[" + two hexadecimal digits + "]" whose value is 1 to 255 by the
// character of that code; everything else is copied unchanged.
std::string DecodeBrackets(std::string_view text);

// True when documents with this extension are text to convert: ".txt", ".urg" and
// ".hved", without regard to case.
bool hasAccentsToConvert(std::string_view extension);

// UTF-8 text to Windows-1252, fed one byte at a time with one state for a whole payload.
// A character ends at the first byte that is not a continuation byte (continuation bytes
// are not counted). The euro sign gives 0x80, other code points above 255 give "?", and
// a line feed not preceded by a carriage return gets one. A code point too long for 32
// bits gives "?" as well.
class TextConverter {
 public:
  void Feed(unsigned char b, std::string& out);
  // Emits a pending character at the end of the payload.
  void Flush(std::string& out);

 private:
  void Emit(std::string& out);

  bool pending_ = false;
  uint32_t code_ = 0;
  bool overflow_ = false;
  unsigned char previous_ = 0;
};

// Converts a whole UTF-8 text with one TextConverter, flushed at the end.
std::string ConvertUtf8To1252(std::string_view bytes);

}  // namespace guichet
