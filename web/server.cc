#include "server.h"

#include <array>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <limits>
#include <optional>
#include <random>

#include "files.h"
#include "form.h"
#include "platform/datetime.h"
#include "platform/env.h"

namespace guichet::web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

bool Exists(const std::string& path) { return os::KindOf(path, false) != os::Kind::kNone; }

bool IEquals(std::string_view a, std::string_view b) { return beast::iequals(a, b); }

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

// The time at the head of a log line.
std::string LogTime() {
  char when[32];
  const DateTime t = Env::Default()->Now();
  snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
           t.minute, t.second);
  return when;
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Server& server)
      : stream_(std::move(socket)), server_(server), wait_timer_(server.io()) {
    beast::error_code ec;
    auto ep = stream_.socket().remote_endpoint(ec);
    address_ = ec ? "?" : ep.address().to_string();
    client_ = ec ? "?" : address_ + ":" + std::to_string(ep.port());
    server_.Opened(address_);
  }
  ~Session() {
    file_.Close();
    DropSpill();
    server_.Closed(address_);
  }

  void Start() { ReadHeader(true); }

 private:
  // ---- reading a request -------------------------------------------------------------

  void ReadHeader(bool first) {
    head_.emplace();
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

  // The method and path of a request line that could not be parsed, for the log.
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
        chunked_before = chunked_before || IEquals(codings[i], "chunked");
      if (codings.empty() || !IEquals(codings.back(), "chunked") || chunked_before)
        return SendText(http::status::bad_request, "Malformed request\n", true);
      if (codings.size() > 1)
        return SendText(http::status::not_implemented, "Transfer coding not supported\n", true);
      // HTTP/1.0 has no chunked framing: served, then the connection ends.
      if (version_ == 10) keep_alive_ = false;
    }

    const auto verb = req.method();
    if (path_ == "/portail.hv") {
      if (verb != http::verb::get && verb != http::verb::post) return NotAllowed("GET, POST");
      return ReadSmallBody([this] { OnPortail(); });
    }
    if (path_ == "/post") {
      if (verb != http::verb::post) return NotAllowed("POST");
      return ReadSmallBody([this] { OnPost(); });
    }
    if (path_ == "/upload") {
      if (verb != http::verb::put && verb != http::verb::post) return NotAllowed("PUT, POST");
      return StartUpload();
    }
    if (verb != http::verb::get && verb != http::verb::head) return NotAllowed("GET, HEAD");
    if (HasBody()) return SendText(http::status::bad_request, "Unexpected body\n", true);
    if (path_ == "/fichier") return OnFichier();
    return OnStatic();
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
    auto& req = head_->get();
    if (!IEquals(req[http::field::expect], "100-continue")) return then();
    auto res =
        std::make_shared<http::response<http::empty_body>>(http::status::continue_, version_);
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res, then](beast::error_code ec, size_t) {
                        if (ec) return self->Close();
                        then();
                      });
  }

  // A form or a piece line: at most kMaxFormBytes, read whole.
  void ReadSmallBody(std::function<void()> then) {
    if (head_->content_length() && *head_->content_length() > kMaxFormBytes)
      return SendText(http::status::payload_too_large, "Request too large\n", true);
    Continue([self = shared_from_this(), then] {
      self->small_.emplace(std::move(*self->head_));
      self->small_->body_limit(kMaxFormBytes);
      http::async_read(
          self->stream_, self->buffer_, *self->small_, [self, then](beast::error_code ec, size_t) {
            if (ec == http::error::body_limit)
              return self->SendText(http::status::payload_too_large, "Request too large\n", true);
            if (ec) return self->Close();
            then();
          });
    });
  }

  // ---- /portail.hv ---------------------------------------------------------------------

  void OnPortail() {
    auto& req = small_->get();
    if (req.target().size() + req.body().size() > kMaxFormBytes)
      return SendText(http::status::payload_too_large, "Request too large\n");
    // The body's fields first: the first value of a name is the one taken.
    Fields fields;
    const std::string type(req[http::field::content_type]);
    if (req.method() == http::verb::post && !req.body().empty()) {
      if (type.empty() ||
          IEquals(type.substr(0, type.find(';')), "application/x-www-form-urlencoded")) {
        ParseUrlEncoded(req.body(), &fields);
      } else if (IEquals(type.substr(0, type.find(';')), "multipart/form-data")) {
        std::string boundary;
        if (!HeaderParam(type, "boundary", &boundary) ||
            !ParseMultipart(req.body(), boundary, &fields))
          return SendText(http::status::bad_request, "Malformed form\n");
      } else {
        return SendText(http::status::unsupported_media_type, "Unsupported form type\n");
      }
    }
    ParseUrlEncoded(query_, &fields);
    std::string content, refusal;
    if (!RequestFileContent(fields, &content, &refusal))
      return SendText(http::status::bad_request, refusal + "\n");
    if (server_.waiting() >= server_.config().max_waiting ||
        server_.waiting_from(address_) >= server_.config().max_waiting_per_address)
      return Busy("Too many waiting requests\n");
    const std::string* command = FindField(fields, "command");
    consumed_without_answer_ = command && ConsumedWithoutAnswer(*command);
    name_ = server_.NewRequestName();
    const std::string in = server_.config().spool + "/in";
    if (int err = WriteFileInto(in, name_ + ".req", content)) {
      if (err == EMFILE || err == ENFILE) return Busy("Out of file descriptors\n");
      return SendText(http::status::service_unavailable, "Spool not writable\n");
    }
    server_.AddWaiter(
        name_, address_, [self = shared_from_this()] { self->CheckAnswer(); },
        [self = shared_from_this()] { self->OnStop(); });
    waiting_ = true;
    stream_.expires_never();
    wait_timer_.expires_after(std::chrono::seconds(server_.config().timeout_seconds));
    wait_timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->OnWaitTimeout();
    });
    // The answer may already be there.
    CheckAnswer();
    if (waiting_) WatchForHangUp();
  }

  // While the request waits, a read stays posted: the end of the stream means the client
  // hung up, and its request goes (a pipelined request that comes meanwhile is kept in the
  // buffer for its turn).
  void WatchForHangUp() {
    if (watching_ || buffer_.size() >= kMaxHeaderBytes) return;
    watching_ = true;
    stream_.async_read_some(
        buffer_.prepare(4096),
        [self = shared_from_this()](beast::error_code ec, size_t n) { self->OnWatchRead(ec, n); });
  }

  void OnWatchRead(beast::error_code ec, size_t n) {
    watching_ = false;
    buffer_.commit(n);
    if (deferred_) {
      // The answer came: the read was cancelled to make way for it.
      auto send = std::move(deferred_);
      deferred_ = nullptr;
      return send();
    }
    if (!waiting_) return;
    if (ec) {
      Logged(499, 0);  // the client closed the request
      return Close();
    }
    WatchForHangUp();
  }

  // The program stops: the request is withdrawn and the client told to come back.
  void OnStop() {
    if (!waiting_) return;
    StopWaiting();
    server_.Withdraw(name_);
    keep_alive_ = false;
    Busy("Shutting down\n");
  }

  // A 503 that the client may try again a moment later.
  void Busy(const std::string& why) {
    auto res = MakeText(http::status::service_unavailable, why);
    res->set(http::field::retry_after, "1");
    Send(res);
  }

  void StopWaiting() {
    waiting_ = false;
    server_.RemoveWaiter(name_);
    wait_timer_.cancel();
  }

  void CheckAnswer() {
    if (!waiting_) return;
    const std::string& spool = server_.config().spool;
    const std::string out = spool + "/out", in = spool + "/in";
    std::string marker;
    if (ReadSmallFile(out + "/" + name_ + ".rdy", &marker, 64)) {
      std::string page;
      bool have_page = ReadSmallFile(out + "/" + name_ + ".htm", &page, int64_t{256} << 20);
      StopWaiting();
      // The request goes first, so Guichet cannot take it up again once the marker is gone.
      RemoveFile(in, name_ + ".req");
      RemoveFile(out, name_ + ".htm");
      RemoveFile(out, name_ + ".rdy");
      if (!have_page) return SendText(http::status::bad_gateway, "Answer unreadable\n");
      long rows = 0;
      std::string m;
      for (char c : marker)
        if (c >= '0' && c <= '9')
          m += c;
        else if (!m.empty())
          break;
      if (!m.empty() && m.size() < 10) rows = std::stol(m);
      auto res = std::make_shared<http::response<http::string_body>>(http::status::ok, version_);
      res->set(http::field::content_type,
               rows == 0 ? "text/html; charset=windows-1252" : "text/plain; charset=windows-1252");
      res->set("X-Guichet-Rows", std::to_string(rows));
      res->set(http::field::cache_control, "no-store");
      res->body() = std::move(page);
      return Send(res);
    }
    if (!Exists(in + "/" + name_ + ".req")) {
      // Taken and consumed without an answer (the workflow commands); for any other
      // command, someone else removed the request.
      StopWaiting();
      if (!consumed_without_answer_)
        return SendText(http::status::bad_gateway, "Request withdrawn without an answer\n");
      auto res =
          std::make_shared<http::response<http::string_body>>(http::status::no_content, version_);
      return Send(res);
    }
  }

  void OnWaitTimeout() {
    if (!waiting_) return;
    CheckAnswer();
    if (!waiting_) return;
    StopWaiting();
    // Withdrawn, so it does not run later; an answer written meanwhile, or later, goes too.
    server_.Withdraw(name_);
    SendText(http::status::gateway_timeout, "No answer from Guichet\n");
  }

  // ---- /post ---------------------------------------------------------------------------

  void OnPost() {
    std::string line = std::move(small_->get().body());
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.find_first_of("\r\n") != std::string::npos || line.empty() ||
        (line.rfind("List=", 0) != 0 && line.find("&data=") == std::string::npos))
      return SendText(http::status::bad_request, "One piece line expected\n");
    if (line.size() >= 32000) return SendText(http::status::payload_too_large, "Line too long\n");
    if (server_.post().Write(line) != 0)
      return SendText(http::status::service_unavailable, "Spool not writable\n");
    SendText(http::status::accepted, "Accepted\n");
  }

  // ---- /upload -------------------------------------------------------------------------

  void StartUpload() {
    auto& req = head_->get();
    Fields query;
    ParseUrlEncoded(query_, &query);
    if (const std::string* v = FindField(query, "idexamen")) idexamen_ = *v;
    if (const std::string* v = FindField(query, "extension")) extension_ = *v;
    const std::string type(req[http::field::content_type]);
    if (IEquals(type.substr(0, type.find(';')), "multipart/form-data")) {
      std::string boundary;
      if (!HeaderParam(type, "boundary", &boundary))
        return SendText(http::status::bad_request, "Malformed form\n", true);
      multipart_ = std::make_unique<MultipartReader>(boundary);
      SetUpMultipart();
    } else {
      if (!CheckUploadNames()) return;
      if (head_->content_length()) {
        int64_t total = static_cast<int64_t>(*head_->content_length());
        if (!CheckUploadSize(total)) return;
        writer_ = std::make_unique<PieceWriter>(&server_.post(), idexamen_, extension_, total);
      } else if (!OpenSpill()) {
        return SendText(http::status::service_unavailable, "Spool not writable\n", true);
      }
    }
    Continue([self = shared_from_this()] {
      self->big_.emplace(std::move(*self->head_));
      self->big_->body_limit(std::numeric_limits<std::uint64_t>::max());
      self->chunk_.resize(kChunkBytes);
      self->ReadUploadChunk();
    });
  }

  bool CheckUploadNames() {
    if (!IsUploadNumber(idexamen_) || !IsUploadExtension(extension_)) {
      SendText(http::status::bad_request, "idexamen or extension refused\n", true);
      return false;
    }
    return true;
  }

  bool CheckUploadSize(int64_t total) {
    if (total > server_.config().max_upload ||
        (IsTextExtension(extension_) && total > PieceWriter::kMaxTextBytes)) {
      SendText(http::status::payload_too_large, "Upload too large\n", true);
      return false;
    }
    return true;
  }

  void SetUpMultipart() {
    multipart_->on_part = [this](const MultipartReader::Part& p) {
      in_file_ = false;
      field_name_ = p.name;
      field_value_.clear();
      if (!p.has_filename) return true;
      if (seen_file_) return false;  // one file a request
      seen_file_ = true;
      in_file_ = true;
      if (extension_.empty()) {
        size_t dot = p.filename.rfind('.');
        if (dot != std::string::npos) extension_ = p.filename.substr(dot);
      }
      if (!IsUploadNumber(idexamen_) || !IsUploadExtension(extension_)) {
        refused_ = true;
        return false;
      }
      return OpenSpill();
    };
    multipart_->on_data = [this](std::string_view d) {
      if (in_file_) return Spill(d);
      if (field_value_.size() + d.size() > 4096) return false;
      field_value_.append(d);
      return true;
    };
    multipart_->on_part_end = [this] {
      if (in_file_) {
        in_file_ = false;
        return true;
      }
      if (field_name_ == "idexamen" && idexamen_.empty()) idexamen_ = field_value_;
      if (field_name_ == "extension" && extension_.empty()) extension_ = field_value_;
      return true;
    };
  }

  bool OpenSpill() {
    static uint64_t n = 0;
    spill_path_ = server_.config().spool + "/post/.upload-" + std::to_string(os::ProcessId()) +
                  "-" + std::to_string(++n) + ".tmp";
    int err = 0;
    file_ = os::File::Create(spill_path_, true, &err);
    if (!file_.is_open()) {
      spill_path_.clear();
      return false;
    }
    spilled_ = 0;
    return true;
  }

  bool Spill(std::string_view d) {
    spilled_ += static_cast<int64_t>(d.size());
    if (spilled_ > server_.config().max_upload) {
      too_large_ = true;
      return false;
    }
    return file_.WriteAll(d) == 0;
  }

  void DropSpill() {
    if (!spill_path_.empty()) {
      file_.Close();  // the spill's own file: Windows deletes no file that is open
      os::Remove(spill_path_);
    }
    spill_path_.clear();
  }

  void ReadUploadChunk() {
    auto& body = big_->get().body();
    body.data = chunk_.data();
    body.size = chunk_.size();
    stream_.expires_after(std::chrono::seconds(server_.config().read_seconds));
    http::async_read(
        stream_, buffer_, *big_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnUploadChunk(ec); });
  }

  void OnUploadChunk(beast::error_code ec) {
    if (ec == http::error::need_buffer) ec = {};
    if (ec) return Close();  // pieces written so far stay; Guichet waits for the rest
    const size_t n = chunk_.size() - big_->get().body().size;
    std::string_view data(chunk_.data(), n);
    bool ok = true;
    int err = 0;
    if (multipart_) {
      ok = multipart_->Feed(data);
    } else if (writer_) {
      err = writer_->Feed(data);
    } else {
      ok = Spill(data);
    }
    if (err == EMSGSIZE)
      return SendText(http::status::bad_request, "Body longer than announced\n", true);
    if (err) return SendText(http::status::service_unavailable, "Spool not writable\n", true);
    if (!ok) {
      if (too_large_) return SendText(http::status::payload_too_large, "Upload too large\n", true);
      if (refused_)
        return SendText(http::status::bad_request, "idexamen or extension refused\n", true);
      return SendText(http::status::bad_request, "Malformed upload\n", true);
    }
    if (!big_->is_done()) return ReadUploadChunk();
    // The whole body is in.
    if (writer_) {
      if (writer_->Finish() != 0)
        return SendText(http::status::service_unavailable, "Spool not writable\n");
      return Uploaded(writer_->received(), writer_->pieces());
    }
    if (multipart_ && (!multipart_->Finish() || !seen_file_))
      return SendText(http::status::bad_request, "No file in the form\n");
    if (!CheckUploadNames() || !CheckUploadSize(spilled_)) return;
    writer_ = std::make_unique<PieceWriter>(&server_.post(), idexamen_, extension_, spilled_);
    if (!file_.Rewind()) return SendText(http::status::internal_server_error, "Seek\n");
    CutSpill();
  }

  // Cuts the spilled document into pieces, a slice at a time, letting the other
  // connections run in between.
  void CutSpill() {
    for (int i = 0; i < 16; ++i) {
      int64_t n = file_.Read(chunk_.data(), chunk_.size());
      if (n < 0) return SendText(http::status::internal_server_error, "Read\n");
      if (n == 0) {
        DropSpill();
        if (writer_->Finish() != 0)
          return SendText(http::status::service_unavailable, "Spool not writable\n");
        return Uploaded(writer_->received(), writer_->pieces());
      }
      if (writer_->Feed(std::string_view(chunk_.data(), static_cast<size_t>(n))) != 0)
        return SendText(http::status::service_unavailable, "Spool not writable\n");
    }
    net::post(server_.io(), [self = shared_from_this()] { self->CutSpill(); });
  }

  void Uploaded(int64_t bytes, int pieces) {
    SendText(http::status::accepted, "idexamen=" + idexamen_ + "&extension=" + extension_ +
                                         "&length=" + std::to_string(bytes) +
                                         "&pieces=" + std::to_string(pieces) + "\n");
  }

  // ---- files ---------------------------------------------------------------------------

  void OnFichier() {
    Fields query;
    ParseUrlEncoded(query_, &query);
    const std::string* token = FindField(query, "logon");
    const std::string* f = FindField(query, "f");
    std::string plain;
    if (!token || !f ||
        !RightsAllow(server_.config().spool + "/rights", *token, *f, time(nullptr), &plain))
      return SendText(http::status::forbidden, "Forbidden\n");
    std::vector<std::string> roots;
    if (!server_.cache_real().empty()) roots.push_back(server_.cache_real());
    if (!server_.archives_real().empty()) roots.push_back(server_.archives_real());
    std::string real = ResolveInside(plain, roots);
    if (real.empty()) return SendText(http::status::not_found, "Not found\n");
    ServeFile(real, roots, false);
  }

  void OnStatic() {
    std::string real = StaticFile(server_.www_real(), path_);
    if (real.empty()) return SendText(http::status::not_found, "Not found\n");
    ServeFile(real, {server_.www_real()}, true);
  }

  void ServeFile(const std::string& real, const std::vector<std::string>& roots, bool cacheable) {
    int64_t size = 0;
    int err = 0;
    file_ = OpenInside(real, roots, &size, &err);
    if (!file_.is_open()) {
      if (err == EMFILE || err == ENFILE) return Busy("Out of file descriptors\n");
      return SendText(http::status::not_found, "Not found\n");
    }
    int64_t first = 0, last = size - 1;
    auto status = http::status::ok;
    auto& req = head_->get();
    const Validators validators = ValidatorsOf(size, file_.ModifiedNs());
    auto with_validators = [&](auto& res) {
      res.set(http::field::etag, validators.etag);
      res.set(http::field::last_modified, validators.last_modified);
      if (!cacheable) res.set(http::field::cache_control, "private, no-store");
    };
    Conditions conditions;
    conditions.if_match = req[http::field::if_match];
    conditions.if_unmodified_since = req[http::field::if_unmodified_since];
    conditions.if_none_match = req[http::field::if_none_match];
    conditions.if_modified_since = req[http::field::if_modified_since];
    conditions.get_or_head = true;
    switch (Evaluate(conditions, validators)) {
      case Precondition::kProceed:
        break;
      case Precondition::kNotModified: {
        file_.Close();
        auto res = std::make_shared<http::response<http::string_body>>(http::status::not_modified,
                                                                       version_);
        with_validators(*res);
        return Send(res);
      }
      case Precondition::kFailed:
        file_.Close();
        return SendText(http::status::precondition_failed, "Precondition failed\n");
    }
    // Ranges belong to GET alone; an If-Range that no longer holds asks for the whole file.
    auto range = req.find(http::field::range);
    if (range != req.end() && req.method() == http::verb::get &&
        IfRangeHolds(req[http::field::if_range], validators)) {
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
    file_res_->set(http::field::content_type, ContentTypeFor(real));
    file_res_->set(http::field::accept_ranges, "bytes");
    with_validators(*file_res_);
    if (status == http::status::partial_content)
      file_res_->set(http::field::content_range, "bytes " + std::to_string(first) + "-" +
                                                     std::to_string(last) + "/" +
                                                     std::to_string(size));
    file_res_->content_length(static_cast<uint64_t>(last - first + 1));
    file_res_->keep_alive(keep_alive_);
    file_pos_ = first;
    file_end_ = last + 1;
    sent_ = 0;
    head_only_ = req.method() == http::verb::head;
    file_sr_.emplace(*file_res_);
    if (head_only_) {
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

  // ---- answers -------------------------------------------------------------------------

  std::shared_ptr<http::response<http::string_body>> MakeText(http::status status,
                                                              std::string body) {
    auto res = std::make_shared<http::response<http::string_body>>(status, version_);
    res->set(http::field::content_type, "text/plain; charset=utf-8");
    res->body() = std::move(body);
    return res;
  }

  void SendText(http::status status, std::string body, bool close = false) {
    Send(MakeText(status, std::move(body)), close);
  }

  // `close`: the connection ends after this answer (a body was left unread).
  void Send(std::shared_ptr<http::response<http::string_body>> res, bool close = false) {
    if (watching_) {
      // One read at a time: the watch's read ends first, then this goes.
      deferred_ = [self = shared_from_this(), res, close] { self->Send(res, close); };
      beast::error_code ec;
      stream_.socket().cancel(ec);
      return;
    }
    if (close || server_.stopping()) keep_alive_ = false;
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

  void Logged(unsigned status, uint64_t bytes) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
    server_.Log(LogTime() + " " + client_ + " " + LoggedPath(method_) + " " + LoggedPath(path_) +
                " " + std::to_string(status) + " " + std::to_string(bytes) + " " +
                std::to_string(ms) + "ms");
  }

  void Next(bool close) {
    small_.reset();
    big_.reset();
    writer_.reset();
    multipart_.reset();
    DropSpill();
    file_.Close();
    idexamen_.clear(), extension_.clear();
    seen_file_ = in_file_ = refused_ = too_large_ = false;
    if (close) return Close();
    ReadHeader(false);
  }

  void Close() {
    if (waiting_) {
      // The client is gone: the request is withdrawn like a timed-out one.
      StopWaiting();
      server_.Withdraw(name_);
    }
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    stream_.close();
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  Server& server_;
  net::steady_timer wait_timer_;
  std::optional<http::request_parser<http::empty_body>> head_;
  std::optional<http::request_parser<http::string_body>> small_;
  std::optional<http::request_parser<http::buffer_body>> big_;
  std::string address_, client_, method_ = "?", path_ = "?", query_;
  bool keep_alive_ = false, head_request_ = false;
  unsigned version_ = 11;
  Clock::time_point start_ = Clock::now();
  // Waiting for Guichet.
  std::string name_;
  bool waiting_ = false;
  bool consumed_without_answer_ = false;
  bool watching_ = false;           // a read is posted while the request waits
  std::function<void()> deferred_;  // an answer held until that read ends
  // Uploads.
  std::vector<char> chunk_;
  std::unique_ptr<PieceWriter> writer_;
  std::unique_ptr<MultipartReader> multipart_;
  std::string idexamen_, extension_, field_name_, field_value_, spill_path_;
  int64_t spilled_ = 0;
  bool seen_file_ = false, in_file_ = false, refused_ = false, too_large_ = false;
  // Files.
  os::File file_;  // the file served, or the spill of an upload
  int64_t file_pos_ = 0, file_end_ = 0;
  uint64_t sent_ = 0;
  bool head_only_ = false;
  std::shared_ptr<http::response<http::buffer_body>> file_res_;
  std::optional<http::response_serializer<http::buffer_body>> file_sr_;
};

}  // namespace

Server::Server(net::io_context& ioc, Config config)
    : ioc_(ioc),
      config_(std::move(config)),
      acceptor_(ioc),
      accept_retry_(ioc),
      poll_timer_(ioc),
      stop_timer_(ioc),
      watch_(
          ioc,
          [this](bool in, std::string_view name) {
            std::string_view want = in ? ".req" : ".rdy";
            if (name.size() > 4 && name.substr(name.size() - 4) == want)
              Wake(std::string(name.substr(0, name.size() - 4)));
          },
          [this] { WakeAll(); }),
      post_(config_.spool + "/post") {
  std::random_device rd;
  salt_ = rd();
}

const std::string& Server::Real(const std::string& path, std::string* kept) {
  if (kept->empty()) *kept = RealFolder(path);
  return *kept;
}

Server::~Server() = default;

bool Server::Start(std::string* error) {
  for (const char* sub : {"", "/in", "/out", "/post"}) os::MakeFolder(config_.spool + sub);
  for (const char* sub : {"/in", "/out", "/post"}) {
    if (os::KindOf(config_.spool + sub, true) != os::Kind::kFolder) {
      *error = "the spool folder " + config_.spool + sub + " cannot be made";
      return false;
    }
  }
  for (const char* sub : {"/in", "/post"}) RemoveOrphanTemporaries(config_.spool + sub);
  RemoveLeftovers();
  if (config_.max_connections == 0) config_.max_connections = ConnectionsFor(0);
  beast::error_code ec;
  auto address = net::ip::make_address(config_.address, ec);
  if (ec) {
    *error = "bad address " + config_.address;
    return false;
  }
  tcp::endpoint ep(address, config_.port);
  acceptor_.open(ep.protocol(), ec);
  if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(ep, ec);
  if (!ec) acceptor_.listen(4096, ec);
  if (ec) {
    *error = "cannot listen on " + config_.address + ":" + std::to_string(config_.port) + ": " +
             ec.message();
    return false;
  }
  StartWatch();
  Poll();
  Accept();
  return true;
}

unsigned short Server::port() const {
  beast::error_code ec;
  return acceptor_.local_endpoint(ec).port();
}

void Server::Accept() {
  acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors, for instance: try again a little later.
      accept_retry_.expires_after(std::chrono::milliseconds(100));
      accept_retry_.async_wait([this](beast::error_code e) {
        if (!e) Accept();
      });
      return;
    }
    if (stopping_) return;
    beast::error_code e;
    const auto peer = socket.remote_endpoint(e);
    const std::string address = e ? "?" : peer.address().to_string();
    if (connections_ >= config_.max_connections) {
      Refuse(std::move(socket), "Too many connections\n");
    } else if (config_.max_connections_per_address > 0 &&
               connections_by_address_[address] >= config_.max_connections_per_address) {
      Refuse(std::move(socket), "Too many connections from this address\n");
    } else {
      std::make_shared<Session>(std::move(socket), *this)->Start();
    }
    Accept();
  });
}

// A connection beyond a cap: a 503 at once, then its request is read and dropped for a
// moment, so that closing does not reset the connection before the client reads the answer.
void Server::Refuse(tcp::socket socket, const std::string& why) {
  auto s = std::make_shared<tcp::socket>(std::move(socket));
  beast::error_code ec;
  const auto peer = s->remote_endpoint(ec);
  const std::string client =
      ec ? "?" : peer.address().to_string() + ":" + std::to_string(peer.port());
  Log(LogTime() + " " + client + " - - 503 " + std::to_string(why.size()) + " 0ms");
  if (refusing_ >= kReservedDescriptors / 4) return;  // the reserve is for those served
  ++refusing_;
  auto answer = std::make_shared<std::string>(
      "HTTP/1.1 503 Service Unavailable\r\nServer: guichet-web\r\nRetry-After: 1\r\n"
      "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " +
      std::to_string(why.size()) + "\r\nConnection: close\r\n\r\n" + why);
  auto timer = std::make_shared<net::steady_timer>(ioc_, std::chrono::seconds(1));
  auto drain = std::make_shared<std::array<char, 1024>>();
  auto done = [this, s, timer] {
    if (!s->is_open()) return;
    beast::error_code e;
    s->close(e);
    timer->cancel();
    --refusing_;
  };
  timer->async_wait([done](beast::error_code) { done(); });
  net::async_write(*s, net::buffer(*answer), [s, answer, drain, done](beast::error_code e, size_t) {
    if (e) return done();
    s->shutdown(tcp::socket::shutdown_send, e);
    auto read = std::make_shared<std::function<void()>>();
    *read = [s, drain, done, read] {
      s->async_read_some(net::buffer(*drain), [done, read](beast::error_code e, size_t) {
        if (e) {
          done();
          *read = nullptr;  // ends the cycle of references
          return;
        }
        (*read)();
      });
    };
    (*read)();
  });
}

size_t ConnectionsFor(uint64_t descriptor_limit) {
  constexpr size_t kMost = 10000;
  if (descriptor_limit == 0) return kMost;
  if (descriptor_limit <= kReservedDescriptors + 2) return 1;
  return std::min<size_t>(kMost, (descriptor_limit - kReservedDescriptors) / 2);
}

void Server::Opened(const std::string& address) {
  ++connections_;
  ++connections_by_address_[address];
}

void Server::Closed(const std::string& address) {
  --connections_;
  auto it = connections_by_address_.find(address);
  if (it != connections_by_address_.end() && --it->second == 0) connections_by_address_.erase(it);
}

void Server::RemoveLeftovers() {
  int removed = 0;
  for (const char* sub : {"/in", "/out"}) removed += RemoveLeftoverRequests(config_.spool + sub);
  if (removed > 0)
    Log("guichet-web: removed " + std::to_string(removed) +
        " request and answer files that an earlier run left");
}

void Server::Withdraw(const std::string& name) {
  // The request first, so Guichet cannot take it up once its answer is gone.
  const std::string& spool = config_.spool;
  RemoveFile(spool + "/in", name + ".req");
  RemoveFile(spool + "/out", name + ".htm");
  RemoveFile(spool + "/out", name + ".rdy");
  if (withdrawn_.size() < 100000) withdrawn_[name] = Clock::now();
}

// Removes the answers of withdrawn requests that have come, and forgets the requests whose
// answer will not come any more.
void Server::SweepWithdrawn() {
  const std::string out = config_.spool + "/out";
  const auto now = Clock::now();
  for (auto it = withdrawn_.begin(); it != withdrawn_.end();) {
    if (Exists(out + "/" + it->first + ".rdy")) {
      RemoveFile(out, it->first + ".htm");
      RemoveFile(out, it->first + ".rdy");
      it = withdrawn_.erase(it);
    } else if (now - it->second > std::chrono::minutes(30)) {
      it = withdrawn_.erase(it);
    } else {
      ++it;
    }
  }
}

void Server::Shutdown(std::function<void()> done) {
  if (stopping_) return;
  stopping_ = true;
  beast::error_code ec;
  acceptor_.close(ec);
  std::vector<std::function<void()>> stops;
  for (auto& [n, w] : waiters_) stops.push_back(w.stop);
  for (auto& stop : stops) stop();
  // Guichet may have read a withdrawn request already: its answer comes within a tick or
  // two, and goes at once.
  const auto start = Clock::now(), until = start + std::chrono::seconds(3);
  auto check = std::make_shared<std::function<void()>>();
  *check = [this, start, until, done, check] {
    SweepWithdrawn();
    bool recent = false;  // withdrawn lately: its answer may still come
    for (const auto& [n, when] : withdrawn_)
      if (start - when < std::chrono::seconds(10)) recent = true;
    if (!recent || Clock::now() >= until) {
      *check = nullptr;
      return done();
    }
    stop_timer_.expires_after(std::chrono::milliseconds(100));
    stop_timer_.async_wait([check](beast::error_code e) {
      if (!e && *check) (*check)();
    });
  };
  (*check)();
}

void Server::StartWatch() {
  if (config_.poll_only) return;
  watch_.Start(config_.spool + "/in", config_.spool + "/out");
}

void Server::Poll() {
  // With the system's notices the poll is only a safety net; without them, it is the way
  // answers are seen.
  const bool watching = watch_.running();
  poll_timer_.expires_after(std::chrono::milliseconds(watching ? 2000 : 250));
  poll_timer_.async_wait([this](beast::error_code ec) {
    if (ec) return;
    WakeAll();
    Poll();
  });
}

void Server::Wake(const std::string& name) {
  auto it = waiters_.find(name);
  if (it == waiters_.end()) {
    auto w = withdrawn_.find(name);
    if (w != withdrawn_.end() && Exists(config_.spool + "/out/" + name + ".rdy")) {
      // The answer of a request taken back: nobody reads it.
      const std::string out = config_.spool + "/out";
      RemoveFile(out, name + ".htm");
      RemoveFile(out, name + ".rdy");
      withdrawn_.erase(w);
    }
    return;
  }
  auto wake = it->second.wake;  // the waiter may remove itself
  wake();
}

void Server::WakeAll() {
  std::vector<std::function<void()>> all;
  all.reserve(waiters_.size());
  for (auto& [n, w] : waiters_) all.push_back(w.wake);
  for (auto& w : all) w();
  SweepWithdrawn();
}

size_t Server::waiting_from(const std::string& address) const {
  auto it = waiting_by_address_.find(address);
  return it == waiting_by_address_.end() ? 0 : it->second;
}

void Server::AddWaiter(const std::string& name, const std::string& address,
                       std::function<void()> wake, std::function<void()> stop) {
  waiters_[name] = Waiter{address, std::move(wake), std::move(stop)};
  ++waiting_by_address_[address];
}

void Server::RemoveWaiter(const std::string& name) {
  auto it = waiters_.find(name);
  if (it == waiters_.end()) return;
  auto a = waiting_by_address_.find(it->second.address);
  if (a != waiting_by_address_.end() && --a->second == 0) waiting_by_address_.erase(a);
  waiters_.erase(it);
}

std::string Server::NewRequestName() {
  char buf[64];
  const uint64_t n = ++counter_;
  snprintf(buf, sizeof buf, "w%ld_%llu_%08x", os::ProcessId(), static_cast<unsigned long long>(n),
           salt_ ^ static_cast<uint32_t>(n * 2654435761u));
  return buf;
}

void Server::Log(const std::string& line) {
  std::string l = line + "\n";
  fwrite(l.data(), 1, l.size(), stderr);
  fflush(stderr);  // a C runtime may buffer standard error sent to a file
}

}  // namespace guichet::web
