#include "connection.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <limits>
#include <optional>

#include "files.h"
#include "platform/datetime.h"
#include "platform/env.h"
#include "route.h"
#include "server.h"

namespace guichet::web {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// A path as it may appear in the log: bounded, and only printable ASCII (a terminal
// reads a byte of 0x80-0x9F as a control character, and an escape sequence can hide
// in the rest).
std::string LoggedPath(std::string_view p) {
  std::string out;
  for (char c : p.substr(0, 200)) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 || u >= 127) {
      char buf[8];
      snprintf(buf, sizeof buf, "%%%02X", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

constexpr size_t kChunkBytes = 64 * 1024;

class HttpConnection : public Connection, public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(tcp::socket socket, Server& server) : stream_(std::move(socket)), server_(server) {
    beast::error_code ec;
    auto ep = stream_.socket().remote_endpoint(ec);
    if (!ec) {
      address_ = ep.address().to_string();
      loopback_ = ep.address().is_loopback();
    }
    client_ = ec ? "?" : address_ + ":" + std::to_string(ep.port());
    slot_ = server_.Opened(address_);
  }
  ~HttpConnection() override { file_.Close(); }

  void Start() { ReadHeader(true); }

  // ---- Connection ----------------------------------------------------------------------

  Server& server() override { return server_; }
  const http::request_header<>& head() override { return *req_; }
  const std::string& path() override { return path_; }
  const std::string& query() override { return query_; }
  std::optional<uint64_t> content_length() override { return length_; }
  std::string client_address() override { return address_; }
  bool secure() override {
    // Only the reverse proxy on this machine is believed.
    return loopback_ && beast::iequals((*req_)["X-Forwarded-Proto"], "https");
  }

  void ReadSmallBody(size_t limit, std::function<void(std::string)> then) override {
    if (head_->content_length() && *head_->content_length() > limit)
      return SendText(http::status::payload_too_large, "Request too large\n", true);
    Continue([self = shared_from_this(), limit, then] {
      self->small_.emplace(std::move(*self->head_));
      self->req_ = &self->small_->get();
      self->small_->body_limit(limit);
      http::async_read(
          self->stream_, self->buffer_, *self->small_, [self, then](beast::error_code ec, size_t) {
            if (ec == http::error::body_limit)
              return self->SendText(http::status::payload_too_large, "Request too large\n", true);
            if (ec) return self->Close();
            // The route may wait for Guichet longer than a client may take.
            self->stream_.expires_never();
            then(std::move(self->small_->get().body()));
          });
    });
  }

  void ReadBodyChunk(std::function<void(std::string_view, bool)> then) override {
    if (!big_) {
      return Continue([self = shared_from_this(), then] {
        self->big_.emplace(std::move(*self->head_));
        self->req_ = &self->big_->get();
        self->big_->body_limit(std::numeric_limits<std::uint64_t>::max());
        self->ReadBodyChunk(then);
      });
    }
    if (big_->is_done()) return then({}, true);
    if (chunk_.size() < kChunkBytes) chunk_.resize(kChunkBytes);
    auto& body = big_->get().body();
    body.data = chunk_.data();
    body.size = chunk_.size();
    stream_.expires_after(std::chrono::seconds(server_.config().read_seconds));
    http::async_read(stream_, buffer_, *big_,
                     [self = shared_from_this(), then](beast::error_code ec, size_t) {
                       if (ec == http::error::need_buffer) ec = {};
                       if (ec) return self->Close();
                       const size_t n = self->chunk_.size() - self->big_->get().body().size;
                       then(std::string_view(self->chunk_.data(), n), self->big_->is_done());
                     });
  }

  std::shared_ptr<TextResponse> MakeText(http::status status, std::string body) override {
    auto res = std::make_shared<TextResponse>(status, version_);
    res->set(http::field::content_type, "text/plain; charset=utf-8");
    res->body() = std::move(body);
    return res;
  }

  void Send(std::shared_ptr<TextResponse> res, bool close = false) override {
    if (watching_) {
      // One read at a time: the watch's read ends first, then this goes.
      deferred_ = [self = shared_from_this(), res, close] { self->Send(res, close); };
      beast::error_code ec;
      stream_.socket().cancel(ec);
      return;
    }
    if (close || server_.stopping()) keep_alive_ = false;
    res->version(version_);
    res->keep_alive(keep_alive_);
    res->set(http::field::server, "guichet-web");
    res->prepare_payload();
    // 204 and 304 have no body, and say nothing of its length.
    if (res->result() == http::status::no_content || res->result() == http::status::not_modified)
      res->erase(http::field::content_length);
    stream_.expires_after(std::chrono::seconds(server_.config().read_seconds));
    if (head_request_) {
      // The headers the GET would have had, its length included; no body.
      auto headers = std::make_shared<http::response<http::empty_body>>(res->base());
      return http::async_write(stream_, *headers,
                               [self = shared_from_this(), headers](beast::error_code ec, size_t) {
                                 self->Logged(headers->result_int(), 0);
                                 if (ec) return self->Close();
                                 self->Next(!self->keep_alive_);
                               });
    }
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res](beast::error_code ec, size_t) {
                        self->Logged(res->result_int(), res->body().size());
                        if (ec) return self->Close();
                        self->Next(!self->keep_alive_);
                      });
  }

  void SendFile(const std::string& real, const std::vector<std::string>& roots,
                FileOptions options) override {
    int64_t size = 0;
    int err = 0;
    file_ = OpenInside(real, roots, &size, &err);
    if (!file_.is_open()) {
      if (err == EMFILE || err == ENFILE) return Busy("Out of file descriptors\n");
      return SendText(http::status::not_found, "Not found\n");
    }
    int64_t first = 0, last = size - 1;
    auto status = http::status::ok;
    const Validators validators = ValidatorsOf(size, file_.ModifiedNs());
    auto with_validators = [&](auto& res) {
      res.set(http::field::etag, validators.etag);
      res.set(http::field::last_modified, validators.last_modified);
      if (!options.cacheable) res.set(http::field::cache_control, "private, no-store");
    };
    Conditions conditions;
    conditions.if_match = (*req_)[http::field::if_match];
    conditions.if_unmodified_since = (*req_)[http::field::if_unmodified_since];
    conditions.if_none_match = (*req_)[http::field::if_none_match];
    conditions.if_modified_since = (*req_)[http::field::if_modified_since];
    conditions.get_or_head = true;
    switch (Evaluate(conditions, validators)) {
      case Precondition::kProceed:
        break;
      case Precondition::kNotModified: {
        file_.Close();
        auto res = std::make_shared<TextResponse>(http::status::not_modified, version_);
        with_validators(*res);
        for (auto& [field, value] : options.headers) res->set(field, value);
        return Send(res);
      }
      case Precondition::kFailed:
        file_.Close();
        return SendText(http::status::precondition_failed, "Precondition failed\n");
    }
    // Ranges belong to GET alone; an If-Range that no longer holds asks for the whole file.
    auto range = req_->find(http::field::range);
    if (range != req_->end() && req_->method() == http::verb::get &&
        IfRangeHolds((*req_)[http::field::if_range], validators)) {
      switch (ParseRange(range->value(), size, &first, &last)) {
        case RangeResult::kNone:
          first = 0, last = size - 1;
          break;
        case RangeResult::kOne:
          status = http::status::partial_content;
          break;
        case RangeResult::kUnsatisfiable: {
          file_.Close();
          auto res = MakeText(http::status::range_not_satisfiable, "");
          res->set(http::field::content_range, "bytes */" + std::to_string(size));
          with_validators(*res);
          return Send(res);
        }
      }
    }
    file_res_ = std::make_shared<http::response<http::buffer_body>>(status, version_);
    file_res_->set(http::field::content_type,
                   options.content_type.empty() ? ContentTypeFor(real) : options.content_type);
    file_res_->set(http::field::accept_ranges, "bytes");
    with_validators(*file_res_);
    for (auto& [field, value] : options.headers) file_res_->set(field, value);
    if (status == http::status::partial_content)
      file_res_->set(http::field::content_range, "bytes " + std::to_string(first) + "-" +
                                                     std::to_string(last) + "/" +
                                                     std::to_string(size));
    file_res_->content_length(static_cast<uint64_t>(last - first + 1));
    file_res_->keep_alive(keep_alive_);
    file_pos_ = first;
    file_end_ = last + 1;
    sent_ = 0;
    file_sr_.emplace(*file_res_);
    if (req_->method() == http::verb::head) {
      file_res_->body().data = nullptr;
      file_res_->body().more = false;
      // Headers only: the serializer must not wait for a body.
      file_sr_->split(true);
      stream_.expires_after(std::chrono::seconds(server_.config().read_seconds));
      return http::async_write_header(
          stream_, *file_sr_,
          [self = shared_from_this()](beast::error_code ec, size_t) { self->FileDone(ec, 0); });
    }
    WriteFileChunk();
  }

  // While the route waits (for Guichet) and reads nothing, a read stays posted: the end of
  // the stream means the client hung up, and the connection closes (the route's Closed()
  // withdraws what waits). A pipelined request that comes meanwhile stays in the buffer
  // for its turn.
  void WatchForHangUp() override {
    if (watching_ || closed_ || buffer_.size() >= kMaxHeaderBytes) return;
    watching_ = true;
    stream_.expires_never();
    stream_.async_read_some(
        buffer_.prepare(4096),
        [self = shared_from_this()](beast::error_code ec, size_t n) { self->OnWatchRead(ec, n); });
  }

  void Close() override {
    if (closed_) return;
    closed_ = true;
    if (route_) {
      route_->Closed();
      // Not now: the route may be the caller.
      net::post(stream_.get_executor(), [self = shared_from_this()] { self->route_.reset(); });
    }
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    stream_.close();
  }

 private:
  void OnWatchRead(beast::error_code ec, size_t n) {
    watching_ = false;
    buffer_.commit(n);
    if (deferred_) {
      // The answer came: the read was cancelled to make way for it.
      auto send = std::move(deferred_);
      deferred_ = nullptr;
      return send();
    }
    if (closed_) return;
    if (ec) {
      Logged(499, 0);  // the client closed the connection before the answer
      return Close();
    }
    WatchForHangUp();
  }

  // ---- reading a request's headers -----------------------------------------------------

  void ReadHeader(bool first) {
    head_.emplace();
    req_ = &head_->get();
    head_->header_limit(kMaxHeaderBytes);
    head_->body_limit(std::numeric_limits<std::uint64_t>::max());
    // An idle keep-alive connection, or a client that sends its headers slowly, is
    // dropped after this.
    stream_.expires_after(std::chrono::seconds(first ? server_.config().read_seconds
                                                     : server_.config().idle_seconds));
    http::async_read_header(
        stream_, buffer_, *head_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHeader(ec); });
  }

  // The method and path of a request that could not be parsed, for the log.
  void RequestLineForLog() {
    const auto& parsed = head_->get();
    if (!parsed.method_string().empty()) {
      // The request line was read; a later line failed.
      method_ = std::string(parsed.method_string());
      path_ = std::string(parsed.target().substr(0, parsed.target().find('?')));
      return;
    }
    const std::string_view seen(static_cast<const char*>(buffer_.data().data()),
                                buffer_.data().size());
    const std::string_view line = seen.substr(0, seen.find_first_of("\r\n"));
    const size_t sp = line.find(' ');
    method_ = sp == std::string_view::npos ? "?" : std::string(line.substr(0, sp));
    const std::string_view rest = sp == std::string_view::npos ? "" : line.substr(sp + 1);
    path_ = std::string(rest.substr(0, rest.find_first_of(" ?")));
    if (path_.empty()) path_ = "?";
  }

  void OnHeader(beast::error_code ec) {
    start_ = Clock::now();
    version_ = 11;
    head_request_ = false;
    if (ec == http::error::header_limit) {
      RequestLineForLog();
      // A request line that does not end within the limit: its target is too long (a form
      // that large goes in a POST body).
      const std::string_view seen(static_cast<const char*>(buffer_.data().data()),
                                  buffer_.data().size());
      if (seen.find('\n') == std::string_view::npos)
        return SendText(http::status::uri_too_long, "Request target too long\n", true);
      return SendText(http::status::request_header_fields_too_large, "Headers too large\n", true);
    }
    if (ec && ec.category() == http::make_error_code(http::error::bad_version).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message) {
      // A request whose framing cannot be trusted (a bare LF, a length and chunked, two
      // lengths, no version): answered, and the connection ends since what follows
      // cannot be told apart from it.
      RequestLineForLog();
      return SendText(http::status::bad_request, "Malformed request\n", true);
    }
    if (ec) return Close();
    auto& req = head_->get();
    method_ = std::string(req.method_string());
    head_request_ = req.method() == http::verb::head;
    std::string_view target = req.target();
    size_t q = target.find('?');
    path_ = std::string(target.substr(0, q));
    query_ = q == std::string_view::npos ? "" : std::string(target.substr(q + 1));
    keep_alive_ = req.keep_alive();
    length_.reset();
    if (auto n = head_->content_length()) length_ = *n;
    stream_.expires_after(std::chrono::seconds(server_.config().read_seconds));
    if (req.version() / 10 != 1)
      return SendText(http::status::bad_request, "HTTP/1.0 or HTTP/1.1 expected\n", true);
    version_ = req.version() == 10 ? 10 : 11;  // a later 1.x is read as 1.1
    if (version_ == 11 ? req.count(http::field::host) != 1 : req.count(http::field::host) > 1)
      return SendText(http::status::bad_request, "One Host header expected\n", true);
    if (req.find(http::field::transfer_encoding) != req.end()) {
      // Only "chunked" is known here, and it must come last, once: otherwise the body's
      // end is unknown (400) or its coding is one this server does not undo (501).
      std::vector<std::string_view> codings;
      for (auto it = req.find(http::field::transfer_encoding);
           it != req.end() && it->name() == http::field::transfer_encoding; ++it)
        for (std::string_view coding : http::token_list(it->value())) codings.push_back(coding);
      bool chunked_before = false;
      for (size_t i = 0; i + 1 < codings.size(); ++i)
        chunked_before = chunked_before || beast::iequals(codings[i], "chunked");
      if (codings.empty() || !beast::iequals(codings.back(), "chunked") || chunked_before)
        return SendText(http::status::bad_request, "Malformed request\n", true);
      if (codings.size() > 1)
        return SendText(http::status::not_implemented, "Transfer coding not supported\n", true);
      // HTTP/1.0 has no chunked framing: served, then the connection ends.
      if (version_ == 10) keep_alive_ = false;
    }

    const auto verb = req.method();
    auto self = shared_from_this();
    if (path_ == "/portail.hv") {
      if (verb != http::verb::get && verb != http::verb::post) return NotAllowed("GET, POST");
      route_ = ExchangeRoute(self);
    } else if (path_ == "/post") {
      if (verb != http::verb::post) return NotAllowed("POST");
      route_ = PieceRoute(self);
    } else if (path_ == "/session") {
      if (verb != http::verb::get && verb != http::verb::head && verb != http::verb::post &&
          verb != http::verb::delete_)
        return NotAllowed("GET, HEAD, POST, DELETE");
      route_ = SessionRoute(self);
    } else if (path_ == "/desk/queue" || path_ == "/desk/file" || path_ == "/typed") {
      if (verb != http::verb::get && verb != http::verb::head) return NotAllowed("GET, HEAD");
      if (HasBody()) return SendText(http::status::bad_request, "Unexpected body\n", true);
      route_ = path_ == "/typed" ? TypedRoute(self) : DeskRoute(self);
    } else if (path_ == "/desk/typed") {
      if (verb != http::verb::put) return NotAllowed("PUT");
      route_ = DeskRoute(self);
    } else if (path_ == "/desk/open" || path_ == "/desk/close" || path_ == "/desk/name" ||
               path_ == "/desk/done") {
      if (verb != http::verb::post) return NotAllowed("POST");
      route_ = DeskRoute(self);
    } else if (path_ == "/upload") {
      if (verb != http::verb::put && verb != http::verb::post) return NotAllowed("PUT, POST");
      route_ = UploadRoute(self);
    } else {
      if (verb != http::verb::get && verb != http::verb::head) return NotAllowed("GET, HEAD");
      if (HasBody()) return SendText(http::status::bad_request, "Unexpected body\n", true);
      route_ = path_ == "/fichier" ? FichierRoute(self) : StaticRoute(self);
    }
    route_->Start();
  }

  bool HasBody() {
    return head_->chunked() || (head_->content_length() && *head_->content_length() > 0);
  }

  void NotAllowed(const char* allow) {
    auto res = MakeText(http::status::method_not_allowed, "Method not allowed\n");
    res->set(http::field::allow, allow);
    Send(res, true);
  }

  // Sends "100 Continue" when the client waits for it, then runs `then`.
  void Continue(std::function<void()> then) {
    if (!beast::iequals((*req_)[http::field::expect], "100-continue")) return then();
    auto res =
        std::make_shared<http::response<http::empty_body>>(http::status::continue_, version_);
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res, then](beast::error_code ec, size_t) {
                        if (ec) return self->Close();
                        then();
                      });
  }

  // ---- writing a file ------------------------------------------------------------------

  void WriteFileChunk() {
    if (chunk_.size() < kChunkBytes) chunk_.resize(kChunkBytes);
    size_t want = static_cast<size_t>(std::min<int64_t>(kChunkBytes, file_end_ - file_pos_));
    int64_t n = 0;
    if (want > 0) {
      n = file_.ReadAt(chunk_.data(), want, file_pos_);
      if (n <= 0) return Close();  // the file shrank: the length sent cannot be kept
    }
    file_pos_ += n;
    sent_ += static_cast<uint64_t>(n);
    auto& body = file_res_->body();
    body.data = n > 0 ? chunk_.data() : nullptr;
    body.size = static_cast<size_t>(n);
    body.more = file_pos_ < file_end_;
    stream_.expires_after(std::chrono::seconds(server_.config().read_seconds));
    http::async_write(stream_, *file_sr_,
                      [self = shared_from_this()](beast::error_code ec, size_t) {
                        if (ec == http::error::need_buffer) ec = {};
                        if (ec) return self->Close();
                        if (!self->file_sr_->is_done()) return self->WriteFileChunk();
                        self->FileDone(ec, self->sent_);
                      });
  }

  void FileDone(beast::error_code ec, uint64_t bytes) {
    file_.Close();
    const unsigned status = file_res_->result_int();
    file_sr_.reset();
    file_res_.reset();
    if (ec) return Close();
    Logged(status, bytes);
    Next(!keep_alive_);
  }

  // ---- after an answer -----------------------------------------------------------------

  void Logged(unsigned status, uint64_t bytes) {
    char when[32];
    const DateTime t = Env::Default()->Now();
    snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
             t.minute, t.second);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
    server_.Log(std::string(when) + " " + client_ + " " + LoggedPath(method_) + " " +
                LoggedPath(path_) + " " + std::to_string(status) + " " + std::to_string(bytes) +
                " " + std::to_string(ms) + "ms");
  }

  void Next(bool close) {
    small_.reset();
    big_.reset();
    file_.Close();
    if (close) return Close();
    // The route answered: it has nothing left to do on this connection.
    route_.reset();
    ReadHeader(false);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  Server& server_;
  std::optional<http::request_parser<http::empty_body>> head_;
  std::optional<http::request_parser<http::string_body>> small_;
  std::optional<http::request_parser<http::buffer_body>> big_;
  const http::request_header<>* req_ = nullptr;  // the headers, in whichever parser holds them
  std::shared_ptr<Route> route_;
  std::unique_ptr<ConnectionSlot> slot_;  // counted among the open connections
  std::string client_, address_ = "?", method_ = "?", path_ = "?", query_;
  bool loopback_ = false, keep_alive_ = false, closed_ = false, head_request_ = false;
  bool watching_ = false;           // a read is posted while the route waits
  std::function<void()> deferred_;  // an answer held until that read ends
  unsigned version_ = 11;
  std::optional<uint64_t> length_;
  Clock::time_point start_ = Clock::now();
  std::vector<char> chunk_;
  // The file being served.
  os::File file_;
  int64_t file_pos_ = 0, file_end_ = 0;
  uint64_t sent_ = 0;
  std::shared_ptr<http::response<http::buffer_body>> file_res_;
  std::optional<http::response_serializer<http::buffer_body>> file_sr_;
};

}  // namespace

void StartConnection(tcp::socket socket, Server& server) {
  std::make_shared<HttpConnection>(std::move(socket), server)->Start();
}

}  // namespace guichet::web
