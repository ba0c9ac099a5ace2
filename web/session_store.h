// What the front end remembers of Guichet's sessions: the sessions it saw log on through
// it and not log off, the document numbers "createtmp" handed to each of them through
// it, and the sessions it saw log off. Uploads and /fichier count on it, so it survives
// a restart of the front end: a small file of its own in the spool root, owner-only,
// replaced atomically (written aside, flushed, renamed) after every change that matters.
//
// A session lives while it is used: it ends 24 hours after its last request (as in
// Guichet) or when it logs off through the front end. A token that this front end does
// not know, or knows only as expired, is still live when Guichet's own record of its
// sessions (guichet_lastlogons.txt) lists it with an expiry to come, unless this front end
// saw it log off.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

namespace guichet::web {

struct SessionInfo {
  std::string id, name, service;  // UTF-8; may be empty for a program client's session
  time_t last_used = 0;
  time_t saved_used = 0;  // last_used as the file holds it
};

class SessionStore {
 public:
  static constexpr time_t kLifetime = 24 * 3600;
  static constexpr size_t kMaxDocumentsPerSession = 1000;

  // `path`: the store's own file; `lastlogons`: Guichet's record of its sessions.
  SessionStore(std::string path, std::string lastlogons);

  // Reads the file (a missing file is an empty store); expired entries are dropped.
  void Load(time_t now);

  // Tokens are 1 to 64 letters and digits: anything else is never a session.
  static bool IsToken(std::string_view token);

  // A session that logged on through the front end.
  void LogOn(const std::string& token, SessionInfo info, time_t now);
  // Forgets the session and its document numbers, remembers that it logged off.
  void LogOff(const std::string& token, time_t now);
  // The session when it is live (see above), renewing it; nullptr otherwise.
  const SessionInfo* Find(const std::string& token, time_t now);
  // A token that Guichet has just accepted: live from now on, unless it logged off here.
  void Adopt(const std::string& token, time_t now);

  // Document number `number` was handed to session `token`.
  void Grant(const std::string& number, const std::string& token);
  bool Owns(const std::string& number, const std::string& token) const;

  // errno-style result of the last save (0 when it went through).
  int last_error() const { return last_error_; }

 private:
  bool GuichetKnows(const std::string& token, time_t now) const;
  void Prune(time_t now);
  void Save();

  std::string path_, lastlogons_;
  std::unordered_map<std::string, SessionInfo> sessions_;
  std::map<std::string, std::string> documents_;  // number -> token
  std::unordered_map<std::string, std::set<std::string>> by_token_;
  std::map<std::string, time_t> closed_;  // token -> when it logged off
  int last_error_ = 0;
};

// The session that a "menu" page of Guichet names in its line
//   <meta name="guichet-session"
//   content="[logon]|[idutilisateur]|[nomutilisateur]|[idservice]|[nomservice]">
// (the site's menu template carries it): the token and who it is, in UTF-8. False when
// the page has no such line.
bool MenuSession(std::string_view page, std::string* token, SessionInfo* info);

}  // namespace guichet::web
