// Who a request speaks for, and whether it may. A program client names its session with
// the `logon` field, as it always did; a browser holds it in the session cookie, which
// the front end sets at POST /session and which script cannot read. A request that
// relies on the cookie to change something must also prove it comes from the portal's
// own pages (the X-Guichet header, or an Origin naming this site), so another site
// cannot make a browser send it; a request whose Origin names another site is refused
// whatever it carries.
#pragma once

#include <string>
#include <string_view>

#include "route.h"
#include "session_store.h"

namespace guichet::web {

enum class Access {
  kGranted,
  kNoSession,       // no token at all: 401 {"error": "session"}
  kUnknownSession,  // a cookie that names no live session: 401 {"error": "session"}
  kForbidden,       // another origin, a cookie without the proof, an unknown logon: 403
};

struct Caller {
  std::string token;
  bool cookie = false;                   // the token came from the cookie
  const SessionInfo* session = nullptr;  // when `live` was asked for
};

// `logon`: the request's logon field ("" when it has none). `live`: the token must name
// a session of the session store (uploads, files); without it only the cookie's token
// is checked there (Guichet checks the others).
Access Identify(Connection& conn, std::string_view logon, bool live, Caller* caller);

// Answers a refusal of Identify; `close` when the request's body is left unread.
void Refuse(Connection& conn, Access access, bool close = false);

// An Origin header naming another site (absent: false).
bool CrossOrigin(Connection& conn);
// The state-changing request carries the portal's proof.
bool HasProof(Connection& conn);

// The cookie's name for this request ("__Host-" over TLS) and the Set-Cookie values that
// set and clear it.
std::string CookieName(bool secure);
std::string SetCookie(bool secure, const std::string& token);
std::string ClearCookie(bool secure);
// The session cookie's value, "" when absent.
std::string CookieToken(Connection& conn);

// A JSON string: quotes, backslashes and control characters escaped; the text must be
// UTF-8.
std::string JsonString(std::string_view utf8);
// {"error": "..."} as a 401 or 403 answer.
void SendJsonError(Connection& conn, http::status status, std::string_view message,
                   bool close = false);

}  // namespace guichet::web
