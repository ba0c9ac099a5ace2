// The move cycle: empties the move queue "ToMove.txt" of the tasks folder on the slow
// beat of the polling cycle. Each queued document (id;author) is moved with its whole
// file family into Transcriptions/<author>, its audio converted, the templates of its
// document type dropped beside it, and the batch file that later carries the family on
// to Validations/<author> written; the move is reported in the activity list and the
// workflow log.
//
// The queue is emptied (in place, under its lock) only when a cycle found it unchanged
// and without a failed copy; otherwise it stays whole and the next cycle reads it again.
// An entry whose files have left the tasks folder is then consumed without effect,
// unless its family in Transcriptions/<author> shows a move that was cut short (no
// stage batch file, or audio not converted): that move is finished. An entry that can
// never move (a name no folder can take) is logged and consumed. A queue lock that
// another program holds ends the cycle at once.
#pragma once

#include <string>
#include <vector>

namespace guichet {

class Guichet;

// Runs one move cycle. Never raises.
void RepereMove(Guichet& g);

// Fills the ".info" template `modele` into `destination` (created or emptied): every
// line with "%DateCreation%", "%DateCreationInverse%", "%Service%", "%TypeDoc%" and
// "%Auteur%" replaced (any case), each line ended by CR LF. A missing template does
// nothing.
void RemplirModele(Guichet& g, const std::string& modele, const std::string& destination,
                   const std::string& service, const std::string& typedoc,
                   const std::string& auteur);

// Where the templates of type code `code` are, from the kept lines of Services.txt and
// TypeDocs.txt: the service's name (the folder in Templates) and the type's name (the
// templates' base name); both empty when the code or its service is not found.
void TypeTemplates(const std::vector<std::string>& services,
                   const std::vector<std::string>& typedocs, const std::string& code,
                   std::string* service_name, std::string* type_name);

// The three lines of the stage batch file of document `id` of `author`, CR LF ended.
std::string BatchTranscription(const std::string& id, const std::string& author);

}  // namespace guichet
