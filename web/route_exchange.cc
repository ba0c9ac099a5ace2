// /portail.hv: a request of the portal becomes a request to Guichet (guichet_request.h),
// and Guichet's answer goes back as it came: rows as text, a page as HTML, 204 for a
// command consumed without an answer. A browser's request names its session by the
// cookie; the route then puts the cookie's token in the logon field. On the way, the
// front end notes what its uploads and files depend on: the sessions that log on and
// off, and the document numbers "createtmp" hands to each session.
#include <ctime>

#include "access.h"
#include "form.h"
#include "guichet_request.h"
#include "route.h"
#include "server.h"
#include "support/text.h"

namespace guichet::web {

namespace beast = boost::beast;

namespace {

class Exchange : public Route {
 public:
  using Route::Route;

  void Start() override {
    auto self = shared_from_this();
    conn().ReadSmallBody(kMaxFormBytes, [self, this](std::string body) { OnBody(body); });
  }

  void Closed() override {
    // The client is gone: the request is withdrawn like a timed-out one.
    if (request_) request_->Withdraw();
  }

 private:
  void OnBody(const std::string& body) {
    const auto& req = conn().head();
    if (req.target().size() + body.size() > kMaxFormBytes)
      return conn().SendText(http::status::payload_too_large, "Request too large\n");
    // The body's fields first: the first value of a name is the one taken.
    Fields fields;
    const std::string type(req[http::field::content_type]);
    if (req.method() == http::verb::post && !body.empty()) {
      if (type.empty() ||
          beast::iequals(type.substr(0, type.find(';')), "application/x-www-form-urlencoded")) {
        ParseUrlEncoded(body, &fields);
      } else if (beast::iequals(type.substr(0, type.find(';')), "multipart/form-data")) {
        std::string boundary;
        if (!HeaderParam(type, "boundary", &boundary) || !ParseMultipart(body, boundary, &fields))
          return conn().SendText(http::status::bad_request, "Malformed form\n");
      } else {
        return conn().SendText(http::status::unsupported_media_type, "Unsupported form type\n");
      }
    }
    ParseUrlEncoded(conn().query(), &fields);
    const std::string* logon = FindField(fields, "logon");
    Caller caller;
    Access access = Identify(conn(), logon ? *logon : "", false, &caller);
    if (access == Access::kForbidden || access == Access::kUnknownSession)
      return Refuse(conn(), access);
    if (access == Access::kGranted && caller.cookie) {
      // The first value of a name is the one taken.
      fields.insert(fields.begin(), {"logon", caller.token});
    }
    token_ = caller.token;
    if (const std::string* c = FindField(fields, "command")) command_ = *c;
    if (const std::string* p2 = FindField(fields, "p2")) p2_ = *p2;
    // A log-off through the front end ends the session here whatever Guichet answers.
    if (command_ == "logout") server().RevokeSession(token_);
    auto self = shared_from_this();
    request_ = GuichetRequest::Start(
        server(), fields, [self, this](GuichetAnswer a) { OnAnswer(std::move(a)); },
        conn().client_address());
    if (request_->waiting()) conn().WatchForHangUp();
  }

  void OnAnswer(GuichetAnswer a) {
    switch (a.kind) {
      case GuichetAnswer::kBadFields:
        return conn().SendText(http::status::bad_request, a.body + "\n");
      case GuichetAnswer::kBusy:
        return conn().Busy(a.body + "\n");
      case GuichetAnswer::kStopped:
        return conn().Busy("Shutting down\n");
      case GuichetAnswer::kVanished:
        return conn().SendText(http::status::bad_gateway, "Request withdrawn without an answer\n");
      case GuichetAnswer::kUnwritable:
        return conn().SendText(http::status::service_unavailable, "Spool not writable\n");
      case GuichetAnswer::kTimeout:
        return conn().SendText(http::status::gateway_timeout, "No answer from Guichet\n");
      case GuichetAnswer::kUnreadable:
        return conn().SendText(http::status::bad_gateway, "Answer unreadable\n");
      case GuichetAnswer::kConsumed:
        return conn().Send(std::make_shared<TextResponse>(http::status::no_content, 11));
      case GuichetAnswer::kAnswered:
        break;
    }
    Note(a.body);
    auto res = std::make_shared<TextResponse>(http::status::ok, 11);
    res->set(http::field::content_type,
             a.rows == 0 ? "text/html; charset=windows-1252" : "text/plain; charset=windows-1252");
    res->set("X-Guichet-Rows", std::to_string(a.rows));
    res->set(http::field::cache_control, "no-store");
    res->body() = std::move(a.body);
    conn().Send(res);
  }

  // What the answer tells the session store.
  void Note(const std::string& body) {
    SessionStore& sessions = server().sessions();
    const time_t now = time(nullptr);
    std::string token;
    SessionInfo info;
    if (command_ == "login" && MenuSession(body, &token, &info))
      return sessions.LogOn(token, std::move(info), now);
    if (command_ != "getlogon" && command_ != "createtmp") return;
    // The header line, then the value, each ending in CR LF.
    auto line = [&](size_t from, size_t* next) {
      size_t nl = body.find('\n', from);
      if (nl == std::string::npos) nl = body.size();
      *next = nl + 1;
      std::string l = body.substr(from, nl - from);
      while (!l.empty() && (l.back() == '\r' || l.back() == ' ')) l.pop_back();
      return l;
    };
    size_t next = 0;
    if (line(0, &next) != "||command=" + command_ + "||" || next >= body.size()) return;
    const std::string value = line(next, &next);
    if (command_ == "getlogon") {
      if (!SessionStore::IsToken(value)) return;  // "(Utilisateur non reconnu)"
      // The name is the log-on name: without a device key, it is what the user typed.
      info.id = info.name = ToUtf8(p2_.substr(0, p2_.find("__UUID__")));
      return sessions.LogOn(value, std::move(info), now);
    }
    // createtmp: Guichet accepted the token, so it names a live session.
    sessions.Adopt(token_, now);
    sessions.Grant(value, token_);
  }

  std::shared_ptr<GuichetRequest> request_;
  std::string token_, command_, p2_;
};

}  // namespace

std::shared_ptr<Route> ExchangeRoute(std::shared_ptr<Connection> conn) {
  return std::make_shared<Exchange>(std::move(conn));
}

}  // namespace guichet::web
