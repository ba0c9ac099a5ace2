#include "session_store.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include "form.h"
#include "os.h"
#include "output/html.h"
#include "platform/datetime.h"
#include "platform/env.h"
#include "spool_writer.h"
#include "support/text.h"

namespace guichet::web {

namespace {

// The file, one entry a line, fields separated by spaces, values percent-encoded:
//   S token last_used id name service      a live session
//   D number token                         a document number and its session
//   X token when                           a session that logged off
constexpr int64_t kMaxFileBytes = 64 << 20;

std::string Encode(std::string_view s) {
  std::string out;
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= ' ' || c == '%' || u >= 127) {
      char buf[4];
      snprintf(buf, sizeof buf, "%%%02X", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out.empty() ? "%" : out;  // a lone "%" is the empty value
}

std::string Decode(std::string_view s) { return s == "%" ? "" : PercentDecode(s, false); }

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < line.size()) {
    size_t j = line.find(' ', i);
    if (j == std::string_view::npos) j = line.size();
    out.push_back(line.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

bool ToTime(std::string_view s, time_t* t) {
  if (s.empty() || s.size() > 18) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *t = static_cast<time_t>(v);
  return true;
}

bool IsNumber(std::string_view s) { return IsUploadNumber(s); }

// Guichet's expiry text "dd/mm/yyyy hh:nn", on the local clock.
bool ParseExpiry(std::string_view s, DateTime* d) {
  int day, month, year, hour, minute;
  std::string text(s);
  char tail;
  if (sscanf(text.c_str(), "%2d/%2d/%4d %2d:%2d%c", &day, &month, &year, &hour, &minute, &tail) !=
      5)
    return false;
  d->day = day, d->month = month, d->year = year, d->hour = hour, d->minute = minute;
  d->second = 0;
  return true;
}

// Guichet's HTML text (its entities) back to Windows-1252, then UTF-8, outer spaces gone.
std::string PageText(std::string_view html) {
  static const std::vector<std::pair<std::string, char>> entities = [] {
    std::vector<std::pair<std::string, char>> e;
    for (int c = 1; c < 256; ++c) {
      std::string one(1, static_cast<char>(c));
      std::string coded = Asc2Htm(one);
      if (coded.size() > 1 && coded[0] == '&') e.emplace_back(coded, static_cast<char>(c));
    }
    return e;
  }();
  std::string out;
  for (size_t i = 0; i < html.size();) {
    bool done = false;
    if (html[i] == '&') {
      for (const auto& [coded, c] : entities) {
        if (html.compare(i, coded.size(), coded) == 0) {
          out += c;
          i += coded.size();
          done = true;
          break;
        }
      }
    }
    if (!done) out += html[i++];
  }
  return Trim(ToUtf8(out));
}

// The fields of the "guichet-session" line of a menu page; false when there is none.
}  // namespace

bool MenuSession(std::string_view page, std::string* token, SessionInfo* info) {
  const std::string_view key = "name=\"guichet-session\" content=\"";
  size_t at = page.find(key);
  if (at == std::string_view::npos) return false;
  at += key.size();
  size_t end = page.find('"', at);
  if (end == std::string_view::npos) return false;
  std::string_view content = page.substr(at, end - at);
  std::vector<std::string> f;
  while (true) {
    size_t bar = content.find('|');
    f.emplace_back(content.substr(0, bar));
    if (bar == std::string_view::npos) break;
    content.remove_prefix(bar + 1);
  }
  if (f.size() != 5 || !SessionStore::IsToken(f[0])) return false;
  *token = f[0];
  info->id = PageText(f[1]);
  info->name = PageText(f[2]);
  if (info->name.empty()) info->name = info->id;
  info->service = PageText(f[4]);
  return true;
}

SessionStore::SessionStore(std::string path, std::string lastlogons)
    : path_(std::move(path)), lastlogons_(std::move(lastlogons)) {}

bool SessionStore::IsToken(std::string_view token) {
  if (token.empty() || token.size() > 64) return false;
  for (char c : token)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  return true;
}

void SessionStore::Load(time_t now) {
  std::string data;
  if (!ReadSmallFile(path_, &data, kMaxFileBytes)) return;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\n', start);
    if (end == std::string::npos) end = data.size();
    std::string_view line(data.data() + start, end - start);
    start = end + 1;
    auto w = Words(line);
    time_t t;
    if (w.size() == 6 && w[0] == "S" && IsToken(w[1]) && ToTime(w[2], &t)) {
      SessionInfo info{Decode(w[3]), Decode(w[4]), Decode(w[5]), t, t};
      sessions_[std::string(w[1])] = std::move(info);
    } else if (w.size() == 3 && w[0] == "D" && IsNumber(w[1]) && IsToken(w[2])) {
      documents_[std::string(w[1])] = std::string(w[2]);
      by_token_[std::string(w[2])].insert(std::string(w[1]));
    } else if (w.size() == 3 && w[0] == "X" && IsToken(w[1]) && ToTime(w[2], &t)) {
      closed_[std::string(w[1])] = t;
    }
  }
  Prune(now);
}

void SessionStore::LogOn(const std::string& token, SessionInfo info, time_t now) {
  if (!IsToken(token)) return;
  info.last_used = now;
  sessions_[token] = std::move(info);
  closed_.erase(token);
  Prune(now);
  Save();
}

void SessionStore::LogOff(const std::string& token, time_t now) {
  if (!IsToken(token)) return;
  sessions_.erase(token);
  auto it = by_token_.find(token);
  if (it != by_token_.end()) {
    for (const std::string& n : it->second) documents_.erase(n);
    by_token_.erase(it);
  }
  closed_[token] = now;
  Prune(now);
  Save();
}

const SessionInfo* SessionStore::Find(const std::string& token, time_t now) {
  if (!IsToken(token)) return nullptr;
  auto it = sessions_.find(token);
  if (it != sessions_.end() && now - it->second.last_used < kLifetime) {
    // Renewed in memory at every use; written when it matters for a restart.
    it->second.last_used = now;
    if (now - it->second.saved_used > 3600) Save();
    return &it->second;
  }
  if (closed_.count(token) || !GuichetKnows(token, now)) return nullptr;
  // Logged on before this front end knew it: it is adopted, without a name.
  SessionInfo& info = sessions_[token];
  info.last_used = now;
  Save();
  return &info;
}

void SessionStore::Adopt(const std::string& token, time_t now) {
  if (!IsToken(token) || closed_.count(token)) return;
  auto it = sessions_.find(token);
  if (it != sessions_.end() && now - it->second.last_used < kLifetime) {
    it->second.last_used = now;
    return;
  }
  sessions_[token].last_used = now;
  Save();
}

bool SessionStore::GuichetKnows(const std::string& token, time_t now) const {
  std::string data;
  if (!ReadSmallFile(lastlogons_, &data, kMaxFileBytes)) return false;
  // Guichet's expiries are on the local clock.
  const int64_t local = Env::Default()->Now().Serial() - time(nullptr) + now;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\n', start);
    if (end == std::string::npos) end = data.size();
    std::string_view line(data.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t a = line.find(';');
    if (a == std::string_view::npos || line.substr(0, a) != token) continue;
    size_t b = line.rfind(';');
    DateTime expiry;
    if (b > a && ParseExpiry(line.substr(b + 1), &expiry) && expiry.Serial() > local) return true;
  }
  return false;
}

void SessionStore::Grant(const std::string& number, const std::string& token) {
  if (!IsNumber(number) || !IsToken(token)) return;
  auto old = documents_.find(number);
  if (old != documents_.end()) by_token_[old->second].erase(number);
  documents_[number] = token;
  auto& mine = by_token_[token];
  mine.insert(number);
  if (mine.size() > kMaxDocumentsPerSession) {
    // The oldest number goes (numbers grow).
    std::string oldest = *mine.begin();
    for (const std::string& n : mine)
      if (n.size() < oldest.size() || (n.size() == oldest.size() && n < oldest)) oldest = n;
    mine.erase(oldest);
    documents_.erase(oldest);
  }
  Save();
}

bool SessionStore::Owns(const std::string& number, const std::string& token) const {
  auto it = documents_.find(number);
  return it != documents_.end() && it->second == token;
}

void SessionStore::Prune(time_t now) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (now - it->second.last_used >= kLifetime && !GuichetKnows(it->first, now)) {
      auto docs = by_token_.find(it->first);
      if (docs != by_token_.end()) {
        for (const std::string& n : docs->second) documents_.erase(n);
        by_token_.erase(docs);
      }
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
  // Guichet forgets a session 24 hours after its last use at the latest; a token that
  // logged off cannot come back after that.
  for (auto it = closed_.begin(); it != closed_.end();)
    it = now - it->second > kLifetime + 3600 ? closed_.erase(it) : std::next(it);
  // Numbers whose session is gone.
  for (auto it = documents_.begin(); it != documents_.end();) {
    if (!sessions_.count(it->second)) {
      by_token_[it->second].erase(it->first);
      if (by_token_[it->second].empty()) by_token_.erase(it->second);
      it = documents_.erase(it);
    } else {
      ++it;
    }
  }
}

void SessionStore::Save() {
  std::string out;
  for (auto& [token, s] : sessions_) {
    s.saved_used = s.last_used;
    out += "S " + token + " " + std::to_string(static_cast<int64_t>(s.last_used)) + " " +
           Encode(s.id) + " " + Encode(s.name) + " " + Encode(s.service) + "\n";
  }
  for (const auto& [number, token] : documents_) out += "D " + number + " " + token + "\n";
  for (const auto& [token, when] : closed_)
    out += "X " + token + " " + std::to_string(static_cast<int64_t>(when)) + "\n";
  const std::string temp = path_ + "." + std::to_string(os::ProcessId()) + ".tmp";
  os::Remove(temp);
  int err = 0;
  os::File file = os::File::Create(temp, true, &err);
  if (file.is_open()) {
    err = file.WriteAll(out);
    if (!err) err = file.Sync();
    if (int closed = file.Close(); closed && !err) err = closed;
    if (!err) err = os::Rename(temp, path_);
    if (err) os::Remove(temp);
  }
  last_error_ = err;
}

}  // namespace guichet::web
