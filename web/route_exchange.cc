// /portail.hv: a request of the portal becomes a request to Guichet (guichet_request.h),
// and Guichet's answer goes back as it came: rows as text, a page as HTML, 204 for a
// command consumed without an answer.
#include "form.h"
#include "guichet_request.h"
#include "route.h"
#include "server.h"

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
    auto res = std::make_shared<TextResponse>(http::status::ok, 11);
    res->set(http::field::content_type,
             a.rows == 0 ? "text/html; charset=windows-1252" : "text/plain; charset=windows-1252");
    res->set("X-Guichet-Rows", std::to_string(a.rows));
    res->set(http::field::cache_control, "no-store");
    res->body() = std::move(a.body);
    conn().Send(res);
  }

  std::shared_ptr<GuichetRequest> request_;
};

}  // namespace

std::shared_ptr<Route> ExchangeRoute(std::shared_ptr<Connection> conn) {
  return std::make_shared<Exchange>(std::move(conn));
}

}  // namespace guichet::web
