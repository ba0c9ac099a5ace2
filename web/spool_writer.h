// What the front end writes into Guichet's spool and reads back from it: request files in
// in/, answers in out/, upload pieces in post/. Every file is written under a hidden name
// (a leading "."), which no listing of Guichet shows, and renamed into place; a piece's
// ".txt" is in place before its ".rdy" marker.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "form.h"

namespace guichet::web {

// The six lines of a request file, each ending in CR LF: "/portail.hv", logon, command,
// p1, p2, then p3, p4, ... joined by "|". A CR or LF inside a value becomes a space, so no
// value adds a line. Refused (false, with the reason in `*refusal`): a field pN with
// N > kMaxValueIndex, a value holding any other control character or a byte that
// Windows-1252 leaves undefined, and a "|" in p3 or a later value (it would shift every
// value after it; Guichet itself turns a "|" of p1 or p2 into "!").
constexpr int kMaxValueIndex = 99;
bool RequestFileContent(const Fields& fields, std::string* content, std::string* refusal = nullptr);

// The commands that Guichet consumes without an answer (it deletes their request file and
// writes no answer): "cancelled", "cleared", "invalidated", "finished", with exact case.
bool ConsumedWithoutAnswer(std::string_view command);

// Writes `data` to folder/name through a hidden temporary name in the same folder and a
// rename. Never follows a link; the temporary file is removed on failure. errno-style
// result: 0 on success.
// `durable`: on a system without a flush of the whole file system (os::kFlushEachFile),
// the file is flushed before its rename and renamed durably.
int WriteFileInto(const std::string& folder, const std::string& name, std::string_view data,
                  bool durable = false);

// Deletes the hidden temporary files that a front end which is no longer running left in
// `folder` (their names carry its process number); returns how many went.
int RemoveOrphanTemporaries(const std::string& folder);

// The front end names its requests "w" + its process number + "_" + more; the process
// number of such a name (0 for any other name).
long RequestNameProcess(std::string_view name);
// Deletes what an earlier run of the front end left in `folder` (in/ or out/): the files
// named by a process that has ended, or by this very process number (a run before a
// restart that reused it: at start this process has named nothing yet). How many went.
int RemoveLeftoverRequests(const std::string& folder);

// Deletes folder/name when present; true when it is gone.
bool RemoveFile(const std::string& folder, const std::string& name);

// Reads a regular file (no link) of at most `max_bytes`; false when missing or larger.
bool ReadSmallFile(const std::string& path, std::string* data, int64_t max_bytes);

// An upload's piece lines: the header keys Guichet reads, then the Base64 payload.
// Without `total` the line has no "totallength=" (a document in one piece).
std::string PieceLine(std::string_view idexamen, std::string_view extension, int64_t offset,
                      std::string_view bytes, std::optional<int64_t> total);

std::string Base64(std::string_view bytes);

// The spool's post/ folder as the front end sees it: numbers for new pieces, always above
// every piece waiting there when the writer started and never the number of a piece that
// waits now.
class PieceFolder {
 public:
  explicit PieceFolder(std::string folder);
  const std::string& folder() const { return folder_; }
  // Writes post/N.txt with `line` + CR LF, then post/N.rdy; errno-style result.
  int Write(const std::string& line);
  // Puts every piece written so far on the disk (see os::FlushFileSystem).
  int Sync();
  uint64_t last_number() const { return next_ - 1; }

 private:
  std::string folder_;
  uint64_t next_ = 1;
};

// Cuts a document into pieces of 10,240 bytes as its bytes arrive and writes each one
// into post/ at once, so no document is ever held whole. The total length must be known
// beforehand; Finish() checks that exactly that many bytes came. An empty document is one
// empty piece.
//
// Text documents (".txt", ".urg", ".hved") are converted by Guichet piece by piece and
// copied out of temp/ after their first piece, so they go as one piece without a total
// length: at most kMaxTextBytes, which keeps the line well under Guichet's limit.
class PieceWriter {
 public:
  static constexpr size_t kPieceBytes = 10240;
  static constexpr int64_t kMaxTextBytes = 20480;
  PieceWriter(PieceFolder* post, std::string idexamen, std::string extension, int64_t total);
  // errno-style result of the first failed write; EMSGSIZE when more bytes than announced.
  int Feed(std::string_view bytes);
  // Writes the last piece and flushes them all (PieceFolder::Sync): the upload may be
  // answered once this returns 0.
  int Finish();
  int64_t received() const { return offset_ + static_cast<int64_t>(buffer_.size()); }
  int pieces() const { return pieces_; }

 private:
  int Flush();
  PieceFolder* post_;
  std::string idexamen_, extension_;
  int64_t total_;
  bool text_;
  int64_t offset_ = 0;
  std::string buffer_;
  int pieces_ = 0;
};

// An upload's own checks: a document number Guichet reads as a whole (1 to 9 decimal
// digits) and an extension of "." and 1 to 16 ASCII letters, digits, "-" or "_".
bool IsUploadNumber(std::string_view s);
bool IsTextExtension(std::string_view s);
bool IsUploadExtension(std::string_view s);

}  // namespace guichet::web
