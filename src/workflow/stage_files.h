// The file conventions every workflow step shares: the workflow log "guichet.log" and the
// activity list, the verified move of one file between stage folders, the urgency check
// of a document, and appends to the move queue "ToMove.txt".
//
// The move queue is shared with other programs: every append and the move cycle's last
// length check and emptying happen under an exclusive fcntl lock on the queue file, and
// the queue is emptied in place (never deleted), so a line appended by anyone, even one
// who opened the file and waits for the lock, is never lost.
#pragma once

#include <string>

namespace guichet {

class Guichet;

// Appends the general date text + " - " + `text` + CR LF to AppFolder/guichet.log.
// Failures are ignored.
void WriteWorkflowLog(Guichet& g, const std::string& text);

// Reports a workflow event: the same dated line at the end of the activity list and in
// the workflow log.
void ReportActivity(Guichet& g, const std::string& text);

// Moves `name` from folder `from` to folder `to`: copies it (replacing the target), and
// deletes the source only when the copy exists with the source's length. Otherwise the
// source stays and "Can't copy " + source path goes to the workflow log. Returns whether
// the move succeeded.
bool VerifiedMove(Guichet& g, const std::string& from, const std::string& to,
                  const std::string& name);

// Urgency check of document `id` in `folder`. Returns the urgency prefix: "URGENT! " when
// the first line of its ".urg" holds "urgent" in any case (and then creates or empties the
// marker "hvr_<id>.URGENT!" and sets *urgent), "" when it holds "normal" or there is no
// ".urg", and the first line itself otherwise.
std::string CheckUrgency(Guichet& g, const std::string& folder, const std::string& id,
                         bool* urgent);

// The move queue file in the tasks folder.
std::string MoveQueuePath(const Guichet& g);

// How long an append waits for the queue lock that another program holds.
inline constexpr int kMoveQueueWaitMs = 1000;

// Appends the queue entry id + ";" + author + CR LF in one write under the queue lock,
// first ending a last line that another writer left unterminated. A queue that cannot
// take the line (lock held longer than kMoveQueueWaitMs, not a regular file, disk
// full) is logged in the day log and raised as a Failure, so the request that asked for
// the transition gets the failure page and the author can send it again.
void AppendToMoveQueue(Guichet& g, const std::string& id, const std::string& author);

}  // namespace guichet
