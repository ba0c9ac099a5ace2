// Where an author's documents are: the stage listing behind the "stages" command.
//
// A document of the author is found in one of the stage folders of the tasks folder
// (Transcriptions, Validations, Publications, RecycleBin, each with the author's own
// folder), or still in the tasks folder itself with an entry of the author in the move
// queue ("ToMove": queued for transcription). The listing only reads: it creates no
// folder, takes no lock and grants no file. A folder or file that cannot be read counts
// as empty, so the listing always comes back.
#pragma once

#include <string>
#include <vector>

#include "platform/datetime.h"

namespace guichet {

class Env;
class Guichet;

// The stage of a document still in the tasks folder with a queue entry of its author.
inline constexpr const char* kQueuedStage = "ToMove";

struct DocumentEtape {
  std::string numero;
  std::string etape;    // kQueuedStage or the stage folder's name
  DateTime date;        // the dictation's last change (else the family's latest)
  std::string nom;      // first line of ".id", trimmed
  std::string code;     // first line of ".typedoc", trimmed
  std::string libelle;  // the type's label in TypeDocs.txt ("" when not found)
  bool urgent = false;  // a ".URGENT!" marker, or "urgent" in the first line of ".urg"
};

// The documents of `author`, newest first (by date, then by number, numbers compared as
// numbers when both are). With a non-empty `numero`, the rows of that document only; a
// document found in two places (a move that stopped half way) has a row for each.
std::vector<DocumentEtape> ListeEtapes(Guichet& g, const std::string& author,
                                       const std::string& numero = "");

// What the files of one family say of its document: `endings` are the endings of the
// family's files in `folder` (as ParseDocumentFileName gives them), `types` the lines of
// ReadTypeTable. Files that cannot be read say nothing.
DocumentEtape DescribeFamily(Env& env, const std::string& folder, const std::string& number,
                             const std::vector<std::string>& endings, const std::string& stage,
                             const std::vector<std::string>& types);

// The kept lines of the templates folder's TypeDocs.txt, when Services.txt and
// Typedocs.txt are both there (any case); empty otherwise.
std::vector<std::string> ReadTypeTable(Env& env, const std::string& templates);

}  // namespace guichet
