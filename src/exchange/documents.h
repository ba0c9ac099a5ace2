// The document commands of a logged-on client: the files of a waiting document
// ("attachments"), the archive of its author ("archives"), an agenda day ("0"), the client
// configuration and catalogues ("configuration"), and the small exchanges of an upload
// ("getcaflen", "step"/"etape", "createtmp", "finishtmp"), and the author's documents by
// stage ("stages").
//
// Each handler runs after the dispatcher has identified the session; it fills the reply
// list, whose size becomes the ready marker, and writes the answer file. The dispatcher
// counts the request afterwards. A failure that matters (an answer or rights file that
// cannot be written, a counter that cannot be advanced) is raised as a Failure and
// answered with the dispatcher's failure page.
#pragma once

#include <string>

#include "core/request.h"

namespace guichet {

class Guichet;

void CommandeAttachments(Guichet& g, Requete& r);
void CommandeArchives(Guichet& g, Requete& r);
void CommandeAgenda(Guichet& g, Requete& r);  // command "0"
void CommandeConfiguration(Guichet& g, Requete& r);
void CommandeGetCafLen(Guichet& g, Requete& r);
void CommandeStep(Guichet& g, Requete& r);  // "step" and "etape"
void CommandeCreateTmp(Guichet& g, Requete& r);
void CommandeFinishTmp(Guichet& g, Requete& r);

// "stages": every document of the session's user and where it is, newest first; the
// second value, when given, names the one document to look for. Rows (each encoded):
//   number|stage|yyyy-mm-dd hh:nn|name|type code|type label|urgent|
// stage: "ToMove" (queued for transcription), "Transcriptions", "Validations",
// "Publications" or "RecycleBin"; urgent: "1" or "0". With no document, the message row
// "(Aucun document)||||". Only reads: no folder is made and no file granted.
void CommandeStages(Guichet& g, Requete& r);

// The computer's network name ("" when it cannot be obtained).
std::string NomPoste(Guichet& g);

// Hands out the next temporary document number from the tasks folder's "Count.txt" (a
// missing or empty counter counts as "1") and leaves the number after it there. The
// number is returned only once the counter holding its successor has replaced the old one
// whole; a counter that cannot be read or written raises a Failure, so no number is ever
// handed out twice.
std::string ProchainNumeroTache(Guichet& g);

}  // namespace guichet
