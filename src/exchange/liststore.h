// The list store: lists uploaded as "List=" pieces are kept in "vaultpilot.cbo" in the
// application folder, for the sibling application Vault Pilot. Each list is its entries,
// one a line, followed by a line "-End-"; a list whose entries already stand one after
// the other in the file is not stored again.
//
// The file's non-blank lines are cached for the process in `Guichet::ComboLines`, with
// the file size at the last load in `Guichet::ComboFileSize`; the cache is reloaded when
// the size changes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace guichet {

class Guichet;

// `text` is what follows "List=" in a list piece: entries separated by "|". Keeps, in
// order and untrimmed, the entries that are neither blank nor "-End-" once trimmed, and
// stores them when at least 3 remain.
void TraiteListe(Guichet& g, std::string_view text);

// Stores a list of more than 2 entries unless it is already in the file. The file is
// rewritten whole through a temporary name. Failures are logged ("SaveGiantCombo : " +
// description); a list that could not be written is not kept in the cache either.
void SaveGiantCombo(Guichet& g, const std::vector<std::string>& list);

}  // namespace guichet
