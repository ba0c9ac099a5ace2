// Document file names and stage folders. Every file of a document is named "hvr_" + its
// number + an ending ("hvr_12.spx", "hvr_12.typedoc", "hvr_12.finished.bat"); the files of
// one number are its family, and they travel together between the stage folders of the
// tasks folder. Every such name is built here, and read back by one strict parser.
//
// Names from outside (numbers, authors, extensions) are checked by support/names.h before
// they reach these builders, which join them as given.
#pragma once

#include <string>
#include <string_view>

namespace guichet {

// The stage folders of the tasks folder, each holding one folder per author.
inline constexpr std::string_view kTranscriptionsStage = "Transcriptions";
inline constexpr std::string_view kValidationsStage = "Validations";
inline constexpr std::string_view kPublicationsStage = "Publications";
inline constexpr std::string_view kRecycleBinStage = "RecycleBin";

// "hvr_" + number + ending; the ending holds its dot (".caf", ".finished.bat") or is empty.
std::string DocumentFileName(std::string_view number, std::string_view ending);

// The listing pattern of a document's family: "hvr_" + number + ".*".
std::string DocumentFamilyPattern(std::string_view number);

// The listing pattern of every document file with the given ending: "hvr_*" + ending
// ("hvr_*", every document file, when the ending is empty).
std::string DocumentsPattern(std::string_view ending = "");

// The folder of an author in a stage: stage + "/" + author, relative to the tasks folder.
std::string StageFolder(std::string_view stage, std::string_view author);

// Reads a document file name back: "hvr_" in any case, a document number (as
// IsValidDocumentNumber accepts it) up to the first ".", and the ending from that dot
// to the end (at least the dot and one character). Anything else is not a document
// file name: false, and the outputs are left alone.
bool ParseDocumentFileName(std::string_view name, std::string* number, std::string* ending);

}  // namespace guichet
