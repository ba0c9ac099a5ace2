// The batch files Guichet writes beside a document, read back by guichet-batch: the
// stage batch file that carries a transcribed document to validation, and the archive
// batch file that files a published one. Only their own dialect is understood:
//
//   mkdir "PATH"
//   move hvr_<number>.* "PATH"
//   move hvr_<number>.<ext> "PATH"
//
// PATH is relative to the batch file's folder, its parts separated by "\" and ".."
// stepping up. Lines end with CR LF or LF; blank lines are skipped; the command words
// are taken in any case, as the Windows command interpreter does. Anything else (another
// command, an absolute path, a "." or empty part, a second quote, a control character, a
// name Windows cannot hold) makes the whole file unreadable: the runner then moves
// nothing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace guichet::batch {

// The largest batch file read; Guichet's own are a few hundred bytes.
inline constexpr size_t kMaxBatchFileBytes = 64 * 1024;

struct BatchCommand {
  enum Kind { kMkdir, kMove };
  Kind kind = kMkdir;
  // The parts of PATH as written: ".." or a folder name (Windows-1252).
  std::vector<std::string> path;
  // kMove: the document number and the extension of the pattern; "*" for the family.
  std::string number;
  std::string extension;
  int line = 0;  // from 1
};

// Why a file was refused: the line (0 for the file as a whole) and what is wrong there.
struct BatchError {
  int line = 0;
  std::string reason;
};

// Reads a batch file's content. True and the commands in file order, or false and why.
bool ParseBatchFile(std::string_view content, std::vector<BatchCommand>* commands,
                    BatchError* error);

// Whether Windows can hold `name` as a file or folder name, and the batch file can carry
// it: not empty, at most 255 bytes, no control character, none of \ / : * ? " < > | %,
// not ending in a dot or a space, and not a reserved device name (CON, PRN, AUX, NUL,
// COM0-9, LPT0-9, with or without an extension). `why` says what is wrong.
bool IsHoldableName(std::string_view name, std::string* why = nullptr);

// Whether `name` belongs to the pattern: "hvr_" + number + "." + extension, or any
// extension for "*", without regard to case (Windows-1252 folding).
bool MatchesPattern(std::string_view name, std::string_view number, std::string_view extension);

// The pattern as the batch file writes it: "hvr_42.*".
std::string PatternText(const BatchCommand& c);

}  // namespace guichet::batch
