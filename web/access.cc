#include "access.h"

#include <cstdio>
#include <ctime>

#include "server.h"

namespace guichet::web {

namespace beast = boost::beast;

bool CrossOrigin(Connection& conn) {
  const auto& req = conn.head();
  auto it = req.find(http::field::origin);
  if (it == req.end()) return false;
  const std::string want =
      std::string(conn.secure() ? "https://" : "http://") + std::string(req[http::field::host]);
  return req[http::field::host].empty() || !beast::iequals(it->value(), want);
}

bool HasProof(Connection& conn) {
  const auto& req = conn.head();
  if (req["X-Guichet"] == "1") return true;
  return req.find(http::field::origin) != req.end() && !CrossOrigin(conn);
}

std::string CookieName(bool secure) {
  return secure ? "__Host-guichet_session" : "guichet_session";
}

std::string SetCookie(bool secure, const std::string& token) {
  return CookieName(secure) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict" +
         (secure ? "; Secure" : "");
}

std::string ClearCookie(bool secure) {
  return CookieName(secure) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0" +
         (secure ? "; Secure" : "");
}

std::string CookieToken(Connection& conn) {
  const std::string name = CookieName(conn.secure());
  const auto& req = conn.head();
  for (auto it = req.find(http::field::cookie);
       it != req.end() && it->name() == http::field::cookie; ++it) {
    std::string_view v = it->value();
    while (!v.empty()) {
      size_t semi = v.find(';');
      std::string_view pair = v.substr(0, semi);
      v = semi == std::string_view::npos ? std::string_view() : v.substr(semi + 1);
      while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
      size_t eq = pair.find('=');
      if (eq != std::string_view::npos && pair.substr(0, eq) == name)
        return std::string(pair.substr(eq + 1));
    }
  }
  return "";
}

Access Identify(Connection& conn, std::string_view logon, bool live, Caller* caller) {
  if (CrossOrigin(conn)) return Access::kForbidden;
  caller->cookie = logon.empty();
  caller->token = logon.empty() ? CookieToken(conn) : std::string(logon);
  if (caller->token.empty()) return Access::kNoSession;
  if (caller->cookie) {
    const auto verb = conn.head().method();
    if (verb != http::verb::get && verb != http::verb::head && !HasProof(conn))
      return Access::kForbidden;
  }
  if (live || caller->cookie) {
    caller->session = conn.server().sessions().Find(caller->token, time(nullptr));
    // A program client's unknown token is refused as before; a browser is sent back to
    // its log-on.
    if (!caller->session) return caller->cookie ? Access::kUnknownSession : Access::kForbidden;
  }
  return Access::kGranted;
}

void Refuse(Connection& conn, Access access, bool close) {
  if (access == Access::kForbidden)
    return SendJsonError(conn, http::status::forbidden, "forbidden", close);
  SendJsonError(conn, http::status::unauthorized, "session", close);
}

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7f) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void SendJsonError(Connection& conn, http::status status, std::string_view message, bool close) {
  auto res = conn.MakeText(status, "{\"error\": " + JsonString(message) + "}\n");
  res->set(http::field::content_type, "application/json; charset=utf-8");
  res->set(http::field::cache_control, "no-store");
  conn.Send(res, close);
}

}  // namespace guichet::web
