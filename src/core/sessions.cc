#include "core/sessions.h"

#include <algorithm>

namespace guichet {
namespace {

std::optional<int64_t> ReadExpiry(const std::string& text) {
  auto t = ParseDate(text);
  if (!t) return std::nullopt;
  return t->Serial();
}

}  // namespace

void TableSessions::Append(const std::string& jeton, const std::string& idUtilisateur,
                           const std::string& expiration) {
  entries_.push_back({jeton, idUtilisateur, expiration, ReadExpiry(expiration)});
  Handle h = std::prev(entries_.end());
  if (!jeton.empty()) index_[jeton].push_back(h);
}

std::optional<TableSessions::Handle> TableSessions::Find(const std::string& jeton) {
  if (jeton.empty()) return std::nullopt;
  auto it = index_.find(jeton);
  if (it == index_.end() || it->second.empty()) return std::nullopt;
  return it->second.front();
}

void TableSessions::Renew(Handle h, const std::string& expiration) {
  h->expiration = expiration;
  h->expires = ReadExpiry(expiration);
}

void TableSessions::Unindex(Handle h) {
  auto it = index_.find(h->jeton);
  if (it == index_.end()) return;
  auto& v = it->second;
  v.erase(std::find(v.begin(), v.end(), h));
  if (v.empty()) index_.erase(it);
}

size_t TableSessions::RemoveToken(const std::string& jeton) {
  auto it = index_.find(jeton);
  if (jeton.empty() || it == index_.end()) return 0;
  std::vector<Handle> handles = std::move(it->second);
  index_.erase(it);
  for (Handle h : handles) entries_.erase(h);
  return handles.size();
}

size_t TableSessions::RemoveExpired(const DateTime& now) {
  const int64_t limit = now.Serial();
  size_t removed = 0;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->expires && *it->expires < limit) {
      Unindex(it);
      it = entries_.erase(it);
      ++removed;
    } else {
      ++it;
    }
  }
  return removed;
}

void TableSessions::Clear() {
  entries_.clear();
  index_.clear();
}

std::string ExpiryText(const DateTime& now) { return Format(now.AddHours(24), "dd/mm/yyyy hh:nn"); }

}  // namespace guichet
