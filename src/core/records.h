// Separated records, path pieces, folder listings and the record sorts.
//
// Records are one-line texts whose fields are separated by ";" (Extract) or "|"
// (Extract2), numbered from 1, never quoted. Paths use "/" as separator.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace guichet {

// Field `n` (from 1) of a ";" record; "" when missing. A separator at the very end adds
// no field of its own.
std::string Extract(std::string_view record, int n);
// Field `n` (from 1) of a "|" record.
std::string Extract2(std::string_view record, int n);

// The text after the last "." ("" when there is none); the scan does not stop at "/".
std::string ExtensionFichier(std::string_view path);
// The text before the last "/", or the path unchanged when it holds none.
std::string DossierParent(std::string_view path);
// The text after the last "/", or the path unchanged when it holds none.
std::string NomFichier(std::string_view path);

// Appends folder + name for every plain file of `folder` (ending in "/") matching
// `pattern`, in listing order. Errors leave the list as it was.
void ListerFichiers(Env& env, const std::string& folder, std::string_view pattern,
                    std::vector<std::string>& list);
// The same for every folder below `folder`, at any depth: each folder's own files before
// those of its sub-folders; `folder` itself is not listed.
void ListerFichiersRecursif(Env& env, const std::string& folder, std::string_view pattern,
                            std::vector<std::string>& list);

// The lines of a catalogue (Services.txt, TypeDocs.txt) that count: those holding "|"
// and not beginning with ";", in file order. Empty when the file cannot be read.
std::vector<std::string> ReadCatalogue(Env& env, const std::string& path);

// The record sorts keep a list ordered on one ";" field of its records; a new record goes
// before the first element that passes the stop test, so among equals the latest
// inserted comes first. The list must have been built by the same sort: the insertion
// point is then found by binary search.
//   TriParInsertion            ascending by text (byte values)
//   TriParInsertionInverse     descending by text
//   TriParInsertionInverseVal  descending by the leading number of the field (0 if none)
void TriParInsertion(std::vector<std::string>& list, const std::string& record, int field);
void TriParInsertionInverse(std::vector<std::string>& list, const std::string& record, int field);
void TriParInsertionInverseVal(std::vector<std::string>& list, const std::string& record,
                               int field);

// The order that inserting `records` one after the other with the sort would give, in
// O(n log n): for building a whole list at once.
enum class RecordOrder { kAscending, kDescending, kDescendingValue };
std::vector<std::string> SortAsInserted(std::vector<std::string> records, int field,
                                        RecordOrder order);

}  // namespace guichet
