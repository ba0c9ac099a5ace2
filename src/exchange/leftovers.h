// Files that a kill, a power cut or a client that went away leaves where no other step
// ever looks again: Guichet's own temporary files in the stage folders (a copy or an
// audio conversion cut short; the stage batch files carry them on with the family), a
// piece file whose marker is gone (a stop between the removal of the two, or a front
// end stopped between its two renames), and a ".typedoc" alone in the tasks folder (a
// number whose "createtmp" answer never reached its client). They are swept at start-up
// and then on the slow beat, at most every five minutes.
#pragma once

#include <cstdint>

namespace guichet {

class Guichet;

// Age after which a temporary file of Guichet's in a stage folder is a leftover.
inline constexpr int64_t kStageTempSeconds = 5 * 60;
// Age after which a piece file without its marker is set aside.
inline constexpr int64_t kStrayPieceSeconds = 30 * 60;
// Age after which a ".typedoc" alone in the tasks folder is set aside.
inline constexpr int64_t kLoneTypeSeconds = 24 * 60 * 60;
// The least time between two sweeps.
inline constexpr int64_t kLeftoverSweepSeconds = 5 * 60;

// Deletes Guichet's temporary files older than kStageTempSeconds in every stage folder
// and every author folder of a stage. Returns how many went.
int32_t SweepStageTemporaries(Guichet& g);

// Sets aside in "post_err", under the time prefix and with a log line, every piece file
// ".txt" of "post" without its ".rdy" marker and older than kStrayPieceSeconds. Returns
// how many were set aside.
int32_t SetAsideStrayPieceFiles(Guichet& g);

// Sets aside in "post_err", under the time prefix and with a log line, every ".typedoc"
// of the tasks folder that no other file of its family is beside and that is older than
// kLoneTypeSeconds. Returns how many were set aside.
int32_t SetAsideLoneTypeFiles(Guichet& g);

// The three sweeps above, at start-up, and then when kLeftoverSweepSeconds have passed
// since the last sweep (or the clock was set back). Never raises: each sweep skips what it cannot
// do and the next sweep tries again.
void SweepLeftovers(Guichet& g, bool at_start);

}  // namespace guichet
