// Upload assembly: the web front end writes each uploaded piece as a one-line file
// name + ".txt" in the spool's "post" folder, then the marker name + ".rdy". The upload
// pickup `ReperePost` orders the waiting pieces by the number of their names and hands
// them to `TraitePost`, which decodes each piece and writes it at its offset into the
// document: "temp/hvr_<id><ext>" for documents in several pieces, copied into the tasks
// folder when complete, or "hvr_<id><ext>" in the tasks folder directly. "List=" pieces
// go to the list store.
//
// Every piece taken up ends one of three ways: written (and removed from "post"), set
// aside in "post_err" under a time prefix (it does not fit, or can never be handled, or
// its write fails in a way no retry mends, or it has waited more than 30 minutes for
// pieces that do not come), or left in "post" for the next tick after a failure that can
// pass (a locked file, a full disk). Waits are counted on the steady clock from the
// first scan that found the piece waiting, and judged only at the end of a scan. A
// document left unfinished in "temp" that no piece still goes into is set aside after
// the same wait. A stop at any instant loses no assembled byte: a piece whose range the
// document ends inside is written again, and a rollback cuts the document in place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace guichet {

class Guichet;

// The longest piece line handled; a piece file larger than this (plus its line end) is
// set aside.
inline constexpr int64_t kMaxPieceLine = int64_t{32} << 20;
// A piece that still waits this long after Guichet first found it waiting, or a
// document in "temp" unchanged this long, is set aside.
inline constexpr int64_t kPieceWaitSeconds = 30 * 60;

// The upload pickup of one tick: passes "high priority" (all but ".urg" and ".pid"),
// then "urg", listing again after every pass that handled something, and one last
// pass "pid"; then sets aside the pieces and documents that have waited too long.
// Returns the number of pieces handled and documents set aside, plus one when the
// pickup failed. On the bad file name or number failure, starts "ReVault.exe" and ends
// the process.
int32_t ReperePost(Guichet& g);

// Handles one piece: `rdyfilename` is the marker's bare file name, `extaimed` the pass
// ("high priority", "urg" or "pid"). True when the piece was consumed (written, set
// aside, or a list). Failures are logged and leave the piece in "post", except those no
// retry mends (something other than a plain file where the document must go), which set
// it aside. A piece that waits is left here; only the pickup sets it aside.
bool TraitePost(Guichet& g, const std::string& rdyfilename, const std::string& extaimed);

// The order in which a pass takes the markers `names` (as listed): ascending by the
// number that begins the base name, equal numbers in listing order. O(n log n).
std::vector<std::string> OrderPieces(const std::vector<std::string>& names);

}  // namespace guichet
