// /session: browser sessions. POST logs on and sets the session cookie, GET tells the page
// who is logged on, DELETE logs off. The user's identifier, name and service come from
// the "menu" page that Guichet's "login" command fills for the new session: the site's
// menu template carries them in the line
//   <meta name="guichet-session"
//   content="[logon]|[idutilisateur]|[nomutilisateur]|[idservice]|[nomservice]">
// A template without that line still logs on (through "getlogon", which answers the
// token alone); the identifier is then the log-on name.
#include <ctime>

#include "access.h"
#include "guichet_request.h"
#include "route.h"
#include "server.h"
#include "session_store.h"
#include "spool_writer.h"
#include "support/text.h"

namespace guichet::web {

namespace {

// `transcriber`: the administrator's list names the user (the pages then open the desk).
std::string SessionJson(const SessionInfo& s, bool transcriber) {
  return "{\"id\": " + JsonString(s.id) + ", \"name\": " + JsonString(s.name) +
         ", \"service\": " + JsonString(s.service) +
         ", \"transcriber\": " + (transcriber ? "true" : "false") + "}\n";
}

class Sessions : public Route {
 public:
  using Route::Route;

  void Start() override {
    const auto verb = conn().head().method();
    auto self = shared_from_this();
    if (verb == http::verb::post)
      return conn().ReadSmallBody(kMaxFormBytes, [self, this](std::string b) { LogOn(b); });
    if (verb == http::verb::get || verb == http::verb::head) return Show();
    return LogOff();
  }

  void Closed() override {
    if (request_) request_->Withdraw();
  }

 private:
  void Show() {
    Caller caller;
    Access a = Identify(conn(), "", true, &caller);
    if (a != Access::kGranted) return Refuse(conn(), a);
    SendJson(http::status::ok,
             SessionJson(*caller.session, server().IsTranscriber(caller.session->id)));
  }

  void LogOn(const std::string& body) {
    if (CrossOrigin(conn()) || !HasProof(conn())) return Refuse(conn(), Access::kForbidden);
    Fields form;
    ParseUrlEncoded(body, &form);
    auto value = [&](const char* name) {
      const std::string* v = FindField(form, name);
      return v ? FromUtf8(*v) : std::string();
    };
    const std::string device = value("device");
    name_ = value("name");
    logon_field_ = name_ + (device.empty() ? "" : "__UUID__" + device);
    password_ = value("password");
    Ask("login", [this](GuichetAnswer a) {
      std::string token;
      SessionInfo info;
      if (a.kind == GuichetAnswer::kAnswered && MenuSession(a.body, &token, &info))
        return Opened(token, std::move(info));
      if (a.kind != GuichetAnswer::kAnswered) return Failed(a);
      // A menu template without the session line, or a refusal: "getlogon" says which.
      Ask("getlogon", [this](GuichetAnswer g) {
        if (g.kind != GuichetAnswer::kAnswered) return Failed(g);
        std::string token;
        size_t nl = g.body.find('\n');
        if (nl != std::string::npos) token = g.body.substr(nl + 1);
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
        if (!SessionStore::IsToken(token))
          return SendJson(http::status::unauthorized, "{\"error\": \"Utilisateur non reconnu\"}\n");
        SessionInfo info;
        info.id = info.name = Trim(ToUtf8(name_));
        Opened(token, std::move(info));
      });
    });
  }

  void Opened(const std::string& token, SessionInfo info) {
    server().sessions().LogOn(token, info, time(nullptr));
    auto res = JsonResponse(http::status::ok, SessionJson(info, server().IsTranscriber(info.id)));
    res->set(http::field::set_cookie, SetCookie(conn().secure(), token));
    conn().Send(res);
  }

  void LogOff() {
    Caller caller;
    Access a = Identify(conn(), "", true, &caller);
    if (a != Access::kGranted) return Refuse(conn(), a, true);
    token_ = caller.token;
    // Whatever Guichet answers, this front end serves the session no more.
    server().RevokeSession(token_);
    logon_field_.clear();
    Ask("logout", [this](GuichetAnswer) {
      auto res = std::make_shared<TextResponse>(http::status::no_content, 11);
      res->set(http::field::set_cookie, ClearCookie(conn().secure()));
      conn().Send(res, true);
    });
  }

  // Sends `command` to Guichet with the session's values.
  void Ask(const char* command, std::function<void(GuichetAnswer)> then) {
    Fields fields = {{"logon", token_}, {"command", command}};
    if (token_.empty()) fields.insert(fields.end(), {{"p2", logon_field_}, {"p3", password_}});
    auto self = shared_from_this();
    request_ = GuichetRequest::Start(
        server(), fields, [self, then](GuichetAnswer a) { then(std::move(a)); },
        conn().client_address());
  }

  void Failed(const GuichetAnswer& a) {
    if (a.kind == GuichetAnswer::kTimeout)
      return SendJson(http::status::gateway_timeout, "{\"error\": \"Guichet ne répond pas\"}\n");
    SendJson(http::status::service_unavailable, "{\"error\": \"Guichet indisponible\"}\n");
  }

  std::shared_ptr<TextResponse> JsonResponse(http::status status, std::string body) {
    auto res = conn().MakeText(status, std::move(body));
    res->set(http::field::content_type, "application/json; charset=utf-8");
    res->set(http::field::cache_control, "no-store");
    return res;
  }

  void SendJson(http::status status, std::string body) {
    conn().Send(JsonResponse(status, std::move(body)));
  }

  std::shared_ptr<GuichetRequest> request_;
  std::string name_, logon_field_, password_, token_;
};

}  // namespace

std::shared_ptr<Route> SessionRoute(std::shared_ptr<Connection> conn) {
  return std::make_shared<Sessions>(std::move(conn));
}

}  // namespace guichet::web
