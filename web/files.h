// The files the front end hands out: documents of the spool's cache and of the archives,
// for a session whose rights list names them, and the static files of the site's www/
// folder. Every path from a client is resolved to its real path (links followed, ".."
// gone) and served only when it lies inside one of the allowed folders; the file itself
// is opened without following a link and must be a regular file.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "os.h"

namespace guichet::web {

// True when the rights list of session `token` (rights/~TOKEN.lst, changed less than a
// day before `now`) holds `path` encoded the way Guichet writes its entries. The client
// may send the path encoded (as the answer shows it) or plain; `*plain` receives the path
// to open. Tokens are letters and digits only.
bool RightsAllow(const std::string& rights_folder, std::string_view token, std::string_view f,
                 time_t now, std::string* plain);

// The real path of `path` when it names a regular file inside one of `roots` (real paths
// of folders); "" otherwise. `path` is looked up without regard to case, as Guichet wrote
// it in lower case.
std::string ResolveInside(const std::string& path, const std::vector<std::string>& roots);

// Opens a real path found by ResolveInside or StaticFile for reading: no link, regular
// file only, and still inside `roots` once open. Not open on failure.
// `*error`, when given, gets the errno-style reason of a failed open.
os::File OpenInside(const std::string& real, const std::vector<std::string>& roots, int64_t* size,
                    int* error = nullptr);

// The real path of the static file for the request path `target` (before "?", still
// percent-encoded) under `www`: "/" and folders give their index.html; "" for anything
// that is not a regular file inside www, or whose path has a "..", a NUL, a backslash, a
// ":" or a hidden name.
std::string StaticFile(const std::string& www_real, std::string_view target);

// A Content-Type for a file name's extension.
std::string ContentTypeFor(std::string_view name);

// A "Range" header for a file of `size` bytes. kNone: serve the whole file (no header,
// a malformed one, or several ranges); kOne: [*first, *last]; kUnsatisfiable: 416.
// The unit's name is matched without regard to case ("Bytes=" too).
enum class RangeResult { kNone, kOne, kUnsatisfiable };
RangeResult ParseRange(std::string_view header, int64_t size, int64_t* first, int64_t* last);

// The validators of a file served: a strong entity tag made of its length and the instant
// of its last write (to the nanosecond where the system keeps it), and that instant as an
// HTTP date.
struct Validators {
  std::string etag;           // with its quotes
  std::string last_modified;  // e.g. "Sun, 06 Nov 1994 08:49:37 GMT"
  int64_t modified = 0;       // seconds since 1970, UTC
};
Validators ValidatorsOf(int64_t size, int64_t modified_ns);

// An HTTP date (IMF-fixdate) for seconds since 1970, and back: the parser takes the three
// forms a recipient must accept (IMF-fixdate, the obsolete RFC 850 one and asctime's).
std::string HttpDate(int64_t seconds);
bool ParseHttpDate(std::string_view text, int64_t* seconds);

// The conditional headers of a request for a file (an empty view: the header is absent),
// weighed in the order HTTP prescribes: If-Match, If-Unmodified-Since, If-None-Match,
// If-Modified-Since (the last only for GET and HEAD, and only without If-None-Match).
struct Conditions {
  std::string_view if_match, if_unmodified_since, if_none_match, if_modified_since;
  bool get_or_head = true;
};
enum class Precondition { kProceed, kNotModified, kFailed };  // kFailed: 412
Precondition Evaluate(const Conditions& conditions, const Validators& file);

// Whether a Range request's "If-Range" (an entity tag, compared strongly, or a date equal
// to the last change) still names the file as it is; when not, the whole file is sent.
bool IfRangeHolds(std::string_view if_range, const Validators& file);

// The real path of a folder, "" when it does not exist.
std::string RealFolder(const std::string& path);

}  // namespace guichet::web
