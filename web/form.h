// The fields of a portal request as the browser or client sent them: a query string, an
// application/x-www-form-urlencoded body or a multipart/form-data body. Values stay the
// bytes the client sent (a page in windows-1252 makes the browser send windows-1252);
// nothing is converted.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace guichet::web {

using Fields = std::vector<std::pair<std::string, std::string>>;

// "%XX" becomes the byte XX; "+" becomes a space when `plus_is_space`. A "%" not followed
// by two hexadecimal digits stays as it is.
std::string PercentDecode(std::string_view s, bool plus_is_space);

// Appends the fields of "a=1&b=2" (query string or urlencoded body).
void ParseUrlEncoded(std::string_view s, Fields* fields);

// The value of a parameter of a header value such as
// 'multipart/form-data; boundary="x"' or 'form-data; name="f"; filename="a.spx"'.
// False when absent.
bool HeaderParam(std::string_view header, std::string_view param, std::string* value);

// The first value of `name`, or nullptr.
const std::string* FindField(const Fields& fields, std::string_view name);

// A multipart/form-data body read piece by piece, so a file field of any size streams
// through without being held whole. Feed() the body as it arrives, then Finish().
class MultipartReader {
 public:
  struct Part {
    std::string name;      // the "name" of Content-Disposition
    std::string filename;  // the "filename", empty for a plain field
    bool has_filename = false;
  };
  // Called when a part's headers are read; return false to stop with an error.
  std::function<bool(const Part&)> on_part;
  // Called with the bytes of the current part, in order.
  std::function<bool(std::string_view)> on_data;
  // Called at the end of each part.
  std::function<bool()> on_part_end;

  explicit MultipartReader(std::string boundary);
  // False on a malformed body or when a callback refused.
  bool Feed(std::string_view data);
  // True when the closing boundary was seen.
  bool Finish() const { return state_ == kDone; }

 private:
  enum State { kPreamble, kHeaders, kBody, kAfterBoundary, kDone, kError };
  bool Step();
  std::string delimiter_;  // "\r\n--" + boundary
  std::string pending_;
  State state_ = kPreamble;
  Part part_;
  size_t header_bytes_ = 0;
};

// Reads a whole multipart body held in memory into fields (file fields too: their
// content becomes the value). False when it is malformed.
bool ParseMultipart(std::string_view body, const std::string& boundary, Fields* fields);

}  // namespace guichet::web
