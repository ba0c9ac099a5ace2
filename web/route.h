// What a route of the front end sees of the connection its request came on, and what the
// connection sees of a route. The connection (connection.cc) reads the request's headers,
// picks the route family for its path and hands it over; the route reads the body it
// wants, answers once through the connection, and keeps its own state (a request waiting
// for Guichet, an upload being cut into pieces) in its own object. One route object a
// request: the next request on the same connection gets a new one.
#pragma once

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace guichet::web {

class Server;
namespace http = boost::beast::http;

using TextResponse = http::response<http::string_body>;

// How a file is served.
struct FileOptions {
  bool cacheable = false;  // static files; false: "private, no-store"
  // Headers added to the answer (a content type, a disposition, a policy).
  std::vector<std::pair<std::string, std::string>> headers;
  std::string content_type;  // "" for the one of the file's extension
};

class Connection {
 public:
  virtual ~Connection() = default;
  virtual Server& server() = 0;
  // The request's headers, its path (before "?") and its query (after it).
  virtual const http::request_header<>& head() = 0;
  virtual const std::string& path() = 0;
  virtual const std::string& query() = 0;
  // The body's announced length (none for a chunked body).
  virtual std::optional<uint64_t> content_length() = 0;
  // The client's address (no port).
  virtual std::string client_address() = 0;
  // True when the request came through TLS (the reverse proxy says so).
  virtual bool secure() = 0;

  // Reads a body of at most `limit` bytes whole (413 past it), then runs `then` with it.
  // On a broken connection `then` never runs.
  virtual void ReadSmallBody(size_t limit, std::function<void(std::string)> then) = 0;
  // Reads the body's next bytes: `then(data, done)`; `done` when the body is complete. On a
  // broken connection `then` never runs and the route's Closed() is called.
  virtual void ReadBodyChunk(std::function<void(std::string_view, bool)> then) = 0;

  // Answers. `close`: the connection ends after this answer (a body was left unread).
  virtual std::shared_ptr<TextResponse> MakeText(http::status status, std::string body) = 0;
  virtual void Send(std::shared_ptr<TextResponse> res, bool close = false) = 0;
  void SendText(http::status status, std::string body, bool close = false) {
    Send(MakeText(status, std::move(body)), close);
  }
  // A 503 that the client may try again a moment later.
  void Busy(std::string why) {
    auto res = MakeText(http::status::service_unavailable, std::move(why));
    res->set(http::field::retry_after, "1");
    Send(res);
  }
  // While the route waits for something other than the client, a read stays posted, so
  // that a client who hangs up is noticed: the connection then closes and the route's
  // Closed() runs.
  virtual void WatchForHangUp() = 0;
  // Serves the file at real path `real`, which must lie inside one of `roots`; ranges,
  // HEAD and 404 handled here.
  virtual void SendFile(const std::string& real, const std::vector<std::string>& roots,
                        FileOptions options) = 0;
  // Ends the connection without an answer.
  virtual void Close() = 0;
};

class Route : public std::enable_shared_from_this<Route> {
 public:
  explicit Route(std::shared_ptr<Connection> conn) : conn_(std::move(conn)) {}
  virtual ~Route() = default;
  // The request's headers are read: read the body (if any) and answer.
  virtual void Start() = 0;
  // The connection ended before the answer went (the client left, a read failed).
  virtual void Closed() {}

 protected:
  Connection& conn() { return *conn_; }
  Server& server() { return conn_->server(); }

 private:
  std::shared_ptr<Connection> conn_;
};

// The route families, each in a file of its own.
std::shared_ptr<Route> ExchangeRoute(std::shared_ptr<Connection> conn);  // /portail.hv
std::shared_ptr<Route> PieceRoute(std::shared_ptr<Connection> conn);     // /post
std::shared_ptr<Route> UploadRoute(std::shared_ptr<Connection> conn);    // /upload
std::shared_ptr<Route> FichierRoute(std::shared_ptr<Connection> conn);   // /fichier
std::shared_ptr<Route> StaticRoute(std::shared_ptr<Connection> conn);    // SITE/www
std::shared_ptr<Route> SessionRoute(std::shared_ptr<Connection> conn);   // /session
std::shared_ptr<Route> DeskRoute(std::shared_ptr<Connection> conn);      // /desk/...
std::shared_ptr<Route> TypedRoute(std::shared_ptr<Connection> conn);     // /typed

// How a document (of the cache, the archives, the tasks folder) is served: inline only
// when it cannot act (audio, PDF, images other than SVG, plain text) and `attachment` is
// not asked, and never able to run script on the portal's origin.
FileOptions DocumentFileOptions(const std::string& real, bool attachment);

}  // namespace guichet::web
