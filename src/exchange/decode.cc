#include "exchange/decode.h"

#include <array>
#include <memory>

#include "support/text.h"

namespace guichet {
namespace {

// Value of a hexadecimal digit, or -1.
constexpr std::array<int8_t, 256> MakeHexTable() {
  std::array<int8_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = -1;
  for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    t['a' + i] = static_cast<int8_t>(10 + i);
    t['A' + i] = static_cast<int8_t>(10 + i);
  }
  return t;
}
constexpr std::array<int8_t, 256> kHex = MakeHexTable();

inline int HexDigit(char c) { return kHex[static_cast<unsigned char>(c)]; }

// Value of a Base64 character: "A"-"Z" 0-25, "a"-"z" 26-51, "0"-"9" 52-61, "+" 62,
// "/" 63, and 63 for every other code (including "=").
constexpr std::array<uint16_t, 256> MakeBase64Table() {
  std::array<uint16_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = 63;
  for (int i = 0; i < 26; ++i) {
    t['A' + i] = static_cast<uint16_t>(i);
    t['a' + i] = static_cast<uint16_t>(26 + i);
  }
  for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<uint16_t>(52 + i);
  t['+'] = 62;
  t['/'] = 63;
  return t;
}
constexpr std::array<uint16_t, 256> kBase64 = MakeBase64Table();

}  // namespace

uint16_t Base64Value(unsigned char c) { return kBase64[c]; }

void DecodeBase64Quad(unsigned char a, unsigned char b, unsigned char c, unsigned char d,
                      unsigned char out[3]) {
  unsigned va = kBase64[a], vb = kBase64[b], vc = kBase64[c], vd = kBase64[d];
  out[0] = static_cast<unsigned char>(va * 4 + (vb & 0x30) / 16);
  out[1] = static_cast<unsigned char>((vb & 0x0F) * 16 + (vc & 0x3C) / 4);
  out[2] = static_cast<unsigned char>((vc & 3) * 64 + vd);
}

std::string DecodeHexPayload(std::string_view line, size_t pos) {
  // The value of every pair of characters, first character in the high byte: one look a
  // byte out, with no test inside the loop.
  static const std::unique_ptr<uint8_t[]> kPairs = [] {
    std::unique_ptr<uint8_t[]> t(new uint8_t[65536]);
    for (int a = 0; a < 256; ++a)
      for (int b = 0; b < 256; ++b) {
        int hi = kHex[a], lo = kHex[b];
        t[a << 8 | b] = static_cast<uint8_t>(hi < 0 ? 0 : lo < 0 ? hi : hi * 16 + lo);
      }
    return t;
  }();
  std::string out;
  if (pos >= line.size()) return out;
  // The payload ends at the first "&" that starts a pair, or where no pair is left.
  size_t pairs = (line.size() - pos) / 2;
  for (size_t from = pos;;) {
    const size_t amp = line.find('&', from);
    if (amp == std::string_view::npos || amp >= pos + 2 * pairs) break;
    if ((amp - pos) % 2 == 0) {
      pairs = (amp - pos) / 2;
      break;
    }
    from = amp + 1;
  }
  out.resize(pairs);
  const unsigned char* in = reinterpret_cast<const unsigned char*>(line.data()) + pos;
  uint8_t* o = reinterpret_cast<uint8_t*>(out.data());
  const uint8_t* table = kPairs.get();
  for (size_t k = 0; k < pairs; ++k) o[k] = table[in[2 * k] << 8 | in[2 * k + 1]];
  return out;
}

std::string DecodeBase64Payload(std::string_view line, size_t pos, int64_t length) {
  std::string out;
  if (pos >= line.size()) return out;
  // Decoding stops at the group that holds the first "&".
  const size_t amp = line.find('&', pos);
  const size_t stop = amp == std::string_view::npos ? line.size() : pos + (amp - pos) / 4 * 4;
  out.resize((line.size() - pos + 3) / 4 * 3);
  unsigned char* o = reinterpret_cast<unsigned char*>(out.data());
  const unsigned char* in = reinterpret_cast<const unsigned char*>(line.data());
  size_t i = pos;
  // Every value is below 64, so the four make one 24-bit number, three bytes out: the
  // same bytes as DecodeBase64Quad, without its test of the table on every group.
  const uint16_t* t = kBase64.data();
  for (; i + 4 <= stop; i += 4, o += 3) {
    const uint32_t v = static_cast<uint32_t>(t[in[i]]) << 18 |
                       static_cast<uint32_t>(t[in[i + 1]]) << 12 |
                       static_cast<uint32_t>(t[in[i + 2]]) << 6 | t[in[i + 3]];
    o[0] = static_cast<unsigned char>(v >> 16);
    o[1] = static_cast<unsigned char>(v >> 8);
    o[2] = static_cast<unsigned char>(v);
  }
  if (i < stop && i + 1 < line.size()) {
    // A short last group: the missing characters count as "A" (value 0).
    unsigned char q[4] = {'A', 'A', 'A', 'A'};
    for (size_t k = 0; i + k < stop && k < 4; ++k) q[k] = in[i + k];
    DecodeBase64Quad(q[0], q[1], q[2], q[3], o);
    o += 3;
  }
  size_t n = static_cast<size_t>(o - reinterpret_cast<unsigned char*>(out.data()));
  int64_t rest = length % 3;
  size_t drop = rest == 1 ? 2 : rest == 2 ? 1 : 0;
  out.resize(n >= drop ? n - drop : 0);
  return out;
}

std::string DecodeBrackets(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '[' && i + 3 < text.size() && text[i + 3] == ']') {
      int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
      if (hi >= 0 && lo >= 0 && hi * 16 + lo != 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 4;
        continue;
      }
    }
    out.push_back(text[i]);
    ++i;
  }
  return out;
}

bool hasAccentsToConvert(std::string_view extension) {
  std::string ext = ToLower(extension);
  return ext == ".txt" || ext == ".urg" || ext == ".hved";
}

void TextConverter::Emit(std::string& out) {
  if (overflow_ || code_ > 255)
    out.push_back(!overflow_ && code_ == 8364 ? '\x80' : '?');
  else
    out.push_back(static_cast<char>(code_));
}

void TextConverter::Feed(unsigned char b, std::string& out) {
  if (pending_) {
    if ((b & 0xC0) == 0x80) {
      // A run of continuation bytes longer than 32 bits can hold ends as "?".
      if (code_ > (UINT32_MAX >> 6)) overflow_ = true;
      code_ = (code_ << 6) | (b & 0x3F);
      previous_ = b;
      return;
    }
    Emit(out);
    pending_ = false;
  }
  if ((b & 0xE0) == 0xC0) {
    code_ = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    code_ = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    code_ = b & 0x07;
  } else {
    if (b == 10 && previous_ != 13) out.push_back('\r');
    out.push_back(static_cast<char>(b));
    previous_ = b;
    return;
  }
  pending_ = true;
  overflow_ = false;
  previous_ = b;
}

void TextConverter::Flush(std::string& out) {
  if (pending_) Emit(out);
  pending_ = false;
}

std::string ConvertUtf8To1252(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 32);
  TextConverter conv;
  for (char c : bytes) conv.Feed(static_cast<unsigned char>(c), out);
  conv.Flush(out);
  return out;
}

}  // namespace guichet
