// The transcription desk without HTTP: who is a transcriber, which documents wait in
// SITE/Tasks/Transcriptions/<author>/ and what they hold, who has one open, and the
// writes a transcriber makes into a document's folder. route_desk.cc puts it on the wire.
//
// A document is (author, number): the family hvr_<number>.* of an author's folder.
// Author folders are plain folders (never links) whose names hold letters, digits, "-",
// "_" and "." only; numbers are 1 to 18 decimal digits. Texts from the files are
// Windows-1252 on disk and UTF-8 here.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "os.h"

namespace guichet::web::desk {

// ---- who is a transcriber ---------------------------------------------------------------

// The identifiers of a transcribers list: one a line, blank lines and lines starting with
// ";" skipped, spaces around an identifier dropped. A list that is not UTF-8 is read as
// Windows-1252 (the administrator's editor may write either).
std::set<std::string> ParseTranscribers(std::string_view text);

// The administrator's list, read again whenever its size or last change differ from the
// last reading. A missing file names nobody.
class Transcribers {
 public:
  explicit Transcribers(std::string path) : path_(std::move(path)) {}
  bool Contains(const std::string& id);

 private:
  std::string path_;
  int64_t size_ = -1, modified_ = -1;
  std::set<std::string> ids_;
};

// ---- who has a document open ------------------------------------------------------------

// The documents open on the desk, one session each, in memory only. A claim ends with
// Close, with its session's ReleaseAll (log-off), or kHold after the session last asked
// about the document.
class Claims {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kHold = std::chrono::hours(2);

  // The display name of the session other than `token` that holds `key`; "" when none.
  // A claim of `token` itself is renewed.
  std::string HeldByOther(const std::string& key, const std::string& token, Clock::time_point now);
  // Who holds `key` ("" when nobody), and whether it is `token`.
  std::string Holder(const std::string& key, const std::string& token, Clock::time_point now,
                     bool* mine);
  // Takes `key` for `token`; false, with the holder's name, when another session holds
  // it and `force` is not set.
  bool Open(const std::string& key, const std::string& token, const std::string& name, bool force,
            Clock::time_point now, std::string* other);
  void Close(const std::string& key, const std::string& token);
  void ReleaseAll(const std::string& token);

 private:
  struct Claim {
    std::string token, name;
    Clock::time_point seen;
  };
  const Claim* Live(const std::string& key, Clock::time_point now);
  std::map<std::string, Claim> claims_;
};

// ---- documents ----------------------------------------------------------------------------

bool IsAuthorName(std::string_view s);
bool IsDocumentNumber(std::string_view s);
// The key of a document in Claims.
std::string Key(const std::string& author, const std::string& number);

// The author's folder in `transcriptions` when it is a plain folder (not a link) whose
// real path lies right inside `transcriptions`' own; "" otherwise.
std::string FamilyFolder(const std::string& transcriptions, const std::string& author);

// The names of the family's files in `folder` (their case as on disk), sorted.
std::vector<std::string> FamilyNames(const std::string& folder, const std::string& number);

// The typed documents' extensions, lower case without the dot.
inline constexpr const char* kTypedExtensions[] = {"pdf", "doc", "rtf", "txt"};
bool IsTypedExtension(std::string_view ext);
// What the desk makes of a family file's name: "audio", "typed", "template", "other",
// or "" for the workflow's own files, which it does not list.
std::string KindOfFile(std::string_view name);

struct Document {
  std::string author, number;
  std::string date;               // "yyyy-mm-dd hh:nn", local time
  int64_t serial = 0;             // the same, to sort
  std::string type, label, name;  // UTF-8
  bool urgent = false;
  // The typed documents present: "pdf", "doc", ... A file of a typed extension that is
  // still the type's template, as the move cycle dropped it, is no typed document.
  std::vector<std::string> typed;
};

// One document, read from its family; false when the family is gone.
bool ReadDocument(const std::string& transcriptions, const std::string& templates,
                  const std::string& author, const std::string& number, Document* doc);
// The names of the typed documents of a family in `folder` (of any stage).
std::vector<std::string> TypedNames(const std::string& folder, const std::string& number,
                                    const std::string& templates);
// Every document of every author: urgent first, then oldest, then by number. Aside
// files left by a guichet-web that stopped mid-write are removed on the way.
std::vector<Document> ReadQueue(const std::string& transcriptions, const std::string& templates);

// ---- writing into a family's folder -------------------------------------------------------

// A file written aside under a "~" name in the target's folder, then flushed and renamed
// over the target: a link, FIFO or file at the target's name is replaced, never written
// into or followed. The aside file goes when the writer goes uncommitted.
class AsideFile {
 public:
  AsideFile() = default;
  ~AsideFile();
  AsideFile(const AsideFile&) = delete;
  AsideFile& operator=(const AsideFile&) = delete;
  // errno-style.
  int Open(const std::string& folder, const std::string& name);
  int Write(std::string_view data);
  int64_t written() const { return written_; }
  // Flushes, closes and renames into place. errno-style.
  int Commit();

 private:
  os::File file_;
  std::string folder_, name_, aside_;
  int64_t written_ = 0;
};

// The first line of a name as the .id holds it: the UTF-8 text trimmed, in Windows-1252.
// False, with why in French, for an empty name, a control character, more than 200
// characters, text that is not UTF-8, or a character Windows-1252 cannot hold.
bool NameForId(std::string_view utf8, std::string* cp1252, std::string* why);
// `content` with its first line replaced by `line` (the other lines and the file's line
// ending kept; "\r\n" for a file that had none).
std::string ReplaceFirstLine(std::string_view content, std::string_view line);

}  // namespace guichet::web::desk
