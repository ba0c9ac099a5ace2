// TableSessions: the open sessions, in the order they were opened.
//
// Each entry holds a session token (`jeton`), the user identifier (`idUtilisateur`) and
// the expiry text "dd/mm/yyyy hh:nn" (`expiration`). Lookups stop at the first entry
// (in table order) holding the token, and renewing an entry keeps its place, as the saved
// file and the first-match rule require; a token index makes the lookup cost the same
// for 10 sessions or 100,000. An empty token never matches.
#pragma once

#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/datetime.h"

namespace guichet {

struct SessionEntry {
  std::string jeton;
  std::string idUtilisateur;
  std::string expiration;
  std::optional<int64_t> expires;  // the expiry text read as a date, when it reads as one
};

class TableSessions {
 public:
  using Handle = std::list<SessionEntry>::iterator;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // Adds an entry at the end.
  void Append(const std::string& jeton, const std::string& idUtilisateur,
              const std::string& expiration);
  // The first entry holding `jeton`, if any.
  std::optional<Handle> Find(const std::string& jeton);
  // Replaces the expiry text of an entry, which keeps its place.
  void Renew(Handle h, const std::string& expiration);
  // Removes every entry holding `jeton`; returns how many.
  size_t RemoveToken(const std::string& jeton);
  // Removes the entries whose expiry, read as a date and time, is earlier than `now`.
  size_t RemoveExpired(const DateTime& now);
  void Clear();

  // The entries in table order.
  const std::list<SessionEntry>& entries() const { return entries_; }

 private:
  void Unindex(Handle h);

  std::list<SessionEntry> entries_;
  // For each token, its entries in table order.
  std::unordered_map<std::string, std::vector<Handle>> index_;
};

// The expiry text of a session renewed or opened at `now`: now + 24 hours.
std::string ExpiryText(const DateTime& now);

}  // namespace guichet
