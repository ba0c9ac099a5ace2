// Upload pieces: the input is one piece line. Its payload goes through the decoders
// directly (hexadecimal and Base64 from every header position, the bracket escapes, the
// UTF-8 conversion), then the line is dropped in the spool with its marker and taken up
// by the upload pickup, which writes documents into the site.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "exchange/decode.h"
#include "exchange/post.h"
#include "fuzz_site.h"

using namespace guichet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);

  // The decoders on their own, from the payload position the header names.
  size_t pos = line.find("&data=");
  pos = pos == std::string_view::npos ? 0 : pos + 6;
  std::string hex = DecodeHexPayload(line, pos);
  std::string b64 = DecodeBase64Payload(line, pos, static_cast<int64_t>(size % 7));
  if (hex.size() > size / 2 + 1 || b64.size() > size) __builtin_trap();
  DecodeBrackets(line);
  ConvertUtf8To1252(line);

  fuzz::FuzzSite& site = fuzz::FuzzSite::Get();
  site.Tick(200);
  const std::string post = site.spool() + "/post/";
  fuzz::WriteFile(post + "7.txt", line);
  fuzz::WriteFile(post + "7.rdy", "");
  ReperePost(site.g());
  fuzz::RemoveFilesIn(post);
  fuzz::RemoveFilesIn(site.spool() + "/post_err");
  return 0;
}
