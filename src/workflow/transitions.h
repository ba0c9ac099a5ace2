// The workflow transitions an author asks for through the portal ("cancelled",
// "cleared", "invalidated", "finished"): discard a document into the recycle bin, send
// it back to transcription, hand a new dictation to the move cycle, or publish a
// validated document and write the batch file that archives it.
//
// Each transition moves the document's file family with the verified move, reports in
// the activity list and the workflow log, and most append an entry to the move queue.
// None raises; failed copies are logged and leave the files where they were.
#pragma once

#include <string>

namespace guichet {

class Guichet;
struct Requete;

// Validations/<author> -> RecycleBin/<author>; appends the queue entry.
void RecyclerDocument(Guichet& g, const std::string& author, const std::string& id);

// Mode exactly "1": RecyclerDocument. Otherwise Validations/<author> ->
// Transcriptions/<author>, urgency check there, queue entry, beep when urgent.
void RejeterDocument(Guichet& g, const std::string& author, const std::string& id,
                     const std::string& mode);

// A document still in the tasks folder is queued for the move cycle. A validated one
// goes to Publications/<author> with its archive batch file.
void PublierDocument(Guichet& g, const std::string& author, const std::string& id);

// The nine lines of the archive batch file of document `id`, archived under `name`.
std::string BatchArchive(const std::string& id, const std::string& name);

// Handler of the four transition commands: the author is the session's user, the
// document number the second value, the mode ("invalidated") the third. A document
// number that is not a valid one changes nothing.
void TraiteTransition(Guichet& g, Requete& r);

}  // namespace guichet
