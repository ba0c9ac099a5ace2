// The plain loops the benchmarks compare Guichet with: the operating system's own calls
// doing the least work a job needs, never Guichet's file layer. Each loop is written
// twice in baselines.cc, raw POSIX calls and raw Win32 calls, one beside the other.
//
// Paths are the benchmarks' own texts ("/" or "\" both work on Windows).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace guichet::bench {

// The drain of a spool whose in/ holds requests r0.req .. r<n-1>.req, last first: for
// each request, look for its marker in out/ (answered already: skip), open and read the
// request, write the answer page, write the marker under a temporary name and rename it.
// Returns the requests answered.
int PlainDrain(const std::string& in, const std::string& out, int n);

// The pickup of every request in in/: list the folder, then for each request as
// PlainDrain does, with a 200-byte page.
void PlainPickup(const std::string& in, const std::string& out);

// The assembly of upload pieces [first, first + count) of `piece` bytes each, whose
// files are post/<100000 + i>.txt and .rdy: read each piece file whole, decode nothing,
// write the piece's bytes of `doc` at their offset into `target` (opened once for the
// batch, created if needed), delete the piece's two files. `buf` is the read buffer.
void PlainUploadBatch(const std::string& post, const std::string& target, const char* doc,
                      int64_t first, int64_t count, int64_t piece, std::vector<char>& buf);

// The least an idle tick asks, `n` times: the state of two folders.
void PlainFolderChecks(const std::string& a, const std::string& b, int n);

}  // namespace guichet::bench
