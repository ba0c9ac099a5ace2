// /post and /upload: documents sent to Guichet as piece lines in the spool's post/
// folder. /post takes one piece line as the client made it; /upload takes a whole
// document (a plain body or a multipart form) and cuts it into pieces as it arrives. A
// form's file, or a body of unknown length, is first spilled to a hidden file in post/,
// since the pieces need the total length.
//
// Who may send what: a live session (the logon field, or the cookie with the portal's
// proof), for a document number that "createtmp" handed to that same session through
// this front end, with an extension a client may send; one writer at a time for a
// document and extension. List pieces need a session too, and are capped in size and
// rate, since Guichet rewrites its whole list store for each.
#include <boost/asio/post.hpp>
#include <cerrno>

#include "access.h"
#include "form.h"
#include "route.h"
#include "server.h"
#include "spool_writer.h"

namespace guichet::web {

namespace beast = boost::beast;

namespace {

// The extensions a client may send: audio, the text documents, and the documents a
// transcriber returns. Anything else (".typedoc", ".html", a batch file) is Guichet's own
// or nobody's.
bool IsClientExtension(std::string_view ext) {
  std::string e;
  for (char c : ext) e += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  for (const char* ok : {".spx", ".caf", ".txt", ".urg", ".id", ".pdf", ".doc", ".rtf"})
    if (e == ok) return true;
  return false;
}

std::string UploadKey(const std::string& number, std::string_view ext) {
  std::string key = number;
  for (char c : ext) key += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return key;
}

// Whether `caller` may write `extension` of document `number` now: 200 (ok), 400, 415,
// 403 or 409.
http::status MayWrite(Server& server, const Caller& caller, const std::string& number,
                      const std::string& extension) {
  if (!IsUploadNumber(number) || !IsUploadExtension(extension)) return http::status::bad_request;
  if (!IsClientExtension(extension)) return http::status::unsupported_media_type;
  if (!server.sessions().Owns(number, caller.token)) return http::status::forbidden;
  if (!server.ClaimUpload(UploadKey(number, extension))) return http::status::conflict;
  return http::status::ok;
}

const char* Reason(http::status s) {
  switch (s) {
    case http::status::bad_request:
      return "idexamen or extension refused\n";
    case http::status::unsupported_media_type:
      return "This extension cannot be sent\n";
    case http::status::forbidden:
      return "This document was not handed to this session\n";
    case http::status::conflict:
      return "Another upload of this document is running\n";
    default:
      return "Refused\n";
  }
}

// A header key's value as Guichet reads it: the first occurrence anywhere in the header,
// up to the next "&".
std::string PieceKey(std::string_view header, std::string_view key) {
  size_t at = header.find(key);
  if (at == std::string_view::npos) return "";
  at += key.size();
  return std::string(header.substr(at, header.find('&', at) - at));
}

class PieceLineRoute : public Route {
 public:
  using Route::Route;

  void Start() override {
    Fields query;
    ParseUrlEncoded(conn().query(), &query);
    const std::string* logon = FindField(query, "logon");
    Access access = Identify(conn(), logon ? *logon : "", true, &caller_);
    if (access != Access::kGranted) return Refuse(conn(), access, true);
    auto self = shared_from_this();
    conn().ReadSmallBody(kMaxFormBytes, [self, this](std::string line) { OnLine(line); });
  }

 private:
  void OnLine(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    const bool list = line.rfind("List=", 0) == 0;
    const size_t data = line.find("&data=");
    if (line.find_first_of("\r\n") != std::string::npos || line.empty() ||
        (!list && data == std::string::npos))
      return conn().SendText(http::status::bad_request, "One piece line expected\n");
    if (line.size() >= 32000)
      return conn().SendText(http::status::payload_too_large, "Line too long\n");
    if (list) {
      if (line.size() > kMaxListBytes)
        return conn().SendText(http::status::payload_too_large, "List too long\n");
      if (!server().AllowList(caller_.token)) {
        auto res = conn().MakeText(http::status::too_many_requests, "Too many lists\n");
        res->set(http::field::retry_after, "6");
        return conn().Send(res);
      }
    } else {
      const std::string_view header(line.data(), data);
      const std::string number = PieceKey(header, "idexamen="),
                        ext = PieceKey(header, "extension=");
      http::status may = MayWrite(server(), caller_, number, ext);
      if (may != http::status::ok) return conn().SendText(may, Reason(may));
      // One piece: written at once, so the document is free again right after.
      server().ReleaseUpload(UploadKey(number, ext));
    }
    if (server().post().Write(line) != 0)
      return conn().SendText(http::status::service_unavailable, "Spool not writable\n");
    conn().SendText(http::status::accepted, "Accepted\n");
  }

  Caller caller_;
};

class Upload : public Route {
 public:
  using Route::Route;
  ~Upload() override {
    DropSpill();
    if (claimed_) server().ReleaseUpload(UploadKey(idexamen_, extension_));
  }

  void Start() override {
    const auto& req = conn().head();
    Fields query;
    ParseUrlEncoded(conn().query(), &query);
    if (const std::string* v = FindField(query, "idexamen")) idexamen_ = *v;
    if (const std::string* v = FindField(query, "extension")) extension_ = *v;
    if (const std::string* v = FindField(query, "logon")) logon_ = *v;
    const std::string type(req[http::field::content_type]);
    const bool multipart = beast::iequals(type.substr(0, type.find(';')), "multipart/form-data");
    // A form may carry its logon field before its file; anything else says who it is now.
    if (!multipart || !logon_.empty() || !CookieToken(conn()).empty() || CrossOrigin(conn())) {
      Access access = Identify(conn(), logon_, true, &caller_);
      if (access != Access::kGranted) return Refuse(conn(), access, true);
      identified_ = true;
    }
    if (multipart) {
      std::string boundary;
      if (!HeaderParam(type, "boundary", &boundary))
        return conn().SendText(http::status::bad_request, "Malformed form\n", true);
      multipart_ = std::make_unique<MultipartReader>(boundary);
      SetUpMultipart();
    } else {
      if (!CheckUploadNames()) return;
      if (auto length = conn().content_length()) {
        const int64_t total = static_cast<int64_t>(*length);
        if (!CheckUploadSize(total)) return;
        writer_ = std::make_unique<PieceWriter>(&server().post(), idexamen_, extension_, total);
      } else if (!OpenSpill()) {
        return conn().SendText(http::status::service_unavailable, "Spool not writable\n", true);
      }
    }
    ReadChunk();
  }

 private:
  void ReadChunk() {
    auto self = shared_from_this();
    conn().ReadBodyChunk([self, this](std::string_view data, bool done) { OnChunk(data, done); });
  }

  // The session, the document and its extension, and the one writer. The size comes
  // after.
  bool CheckUploadNames() {
    if (claimed_) return true;
    http::status may = MayWrite(server(), caller_, idexamen_, extension_);
    if (may != http::status::ok) {
      conn().SendText(may, Reason(may), true);
      return false;
    }
    claimed_ = true;
    return true;
  }

  bool CheckUploadSize(int64_t total) {
    if (total > server().config().max_upload ||
        (IsTextExtension(extension_) && total > PieceWriter::kMaxTextBytes)) {
      conn().SendText(http::status::payload_too_large, "Upload too large\n", true);
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
      if (!identified_) {
        access_ = Identify(conn(), logon_, true, &caller_);
        if (access_ != Access::kGranted) return false;
        identified_ = true;
      }
      refusal_ = MayWrite(server(), caller_, idexamen_, extension_);
      if (refusal_ != http::status::ok) return false;
      claimed_ = true;
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
      if (field_name_ == "logon" && logon_.empty()) logon_ = field_value_;
      return true;
    };
  }

  bool OpenSpill() {
    static uint64_t n = 0;
    spill_path_ = server().config().spool + "/post/.upload-" + std::to_string(os::ProcessId()) +
                  "-" + std::to_string(++n) + ".tmp";
    int err = 0;
    spill_ = os::File::Create(spill_path_, true, &err);
    if (!spill_.is_open()) {
      spill_path_.clear();
      return false;
    }
    spilled_ = 0;
    return true;
  }

  bool Spill(std::string_view d) {
    spilled_ += static_cast<int64_t>(d.size());
    if (spilled_ > server().config().max_upload) {
      too_large_ = true;
      return false;
    }
    return spill_.WriteAll(d) == 0;
  }

  void DropSpill() {
    if (!spill_path_.empty()) {
      spill_.Close();  // Windows deletes no file that is open
      os::Remove(spill_path_);
    }
    spill_path_.clear();
  }

  // Pieces written so far stay when the body breaks off; Guichet waits for the rest.
  void OnChunk(std::string_view data, bool done) {
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
      return conn().SendText(http::status::bad_request, "Body longer than announced\n", true);
    if (err)
      return conn().SendText(http::status::service_unavailable, "Spool not writable\n", true);
    if (!ok) {
      if (too_large_)
        return conn().SendText(http::status::payload_too_large, "Upload too large\n", true);
      if (access_ != Access::kGranted) return Refuse(conn(), access_, true);
      if (refusal_ != http::status::ok) return conn().SendText(refusal_, Reason(refusal_), true);
      return conn().SendText(http::status::bad_request, "Malformed upload\n", true);
    }
    if (!done) return ReadChunk();
    // The whole body is in.
    if (writer_) {
      if (writer_->Finish() != 0)
        return conn().SendText(http::status::service_unavailable, "Spool not writable\n");
      return Uploaded(writer_->received(), writer_->pieces());
    }
    if (multipart_ && (!multipart_->Finish() || !seen_file_))
      return conn().SendText(http::status::bad_request, "No file in the form\n");
    if (!CheckUploadNames() || !CheckUploadSize(spilled_)) return;
    writer_ = std::make_unique<PieceWriter>(&server().post(), idexamen_, extension_, spilled_);
    if (!spill_.Rewind()) return conn().SendText(http::status::internal_server_error, "Seek\n");
    chunk_.resize(64 * 1024);
    CutSpill();
  }

  // Cuts the spilled document into pieces, a slice at a time, letting the other
  // connections run in between.
  void CutSpill() {
    for (int i = 0; i < 16; ++i) {
      int64_t n = spill_.Read(chunk_.data(), chunk_.size());
      if (n < 0) return conn().SendText(http::status::internal_server_error, "Read\n");
      if (n == 0) {
        DropSpill();
        if (writer_->Finish() != 0)
          return conn().SendText(http::status::service_unavailable, "Spool not writable\n");
        return Uploaded(writer_->received(), writer_->pieces());
      }
      if (writer_->Feed(std::string_view(chunk_.data(), static_cast<size_t>(n))) != 0)
        return conn().SendText(http::status::service_unavailable, "Spool not writable\n");
    }
    boost::asio::post(server().io(), [self = shared_from_this(), this] { CutSpill(); });
  }

  void Uploaded(int64_t bytes, int pieces) {
    conn().SendText(http::status::accepted, "idexamen=" + idexamen_ + "&extension=" + extension_ +
                                                "&length=" + std::to_string(bytes) +
                                                "&pieces=" + std::to_string(pieces) + "\n");
  }

  std::vector<char> chunk_;
  std::unique_ptr<PieceWriter> writer_;
  std::unique_ptr<MultipartReader> multipart_;
  std::string idexamen_, extension_, field_name_, field_value_, spill_path_;
  os::File spill_;
  int64_t spilled_ = 0;
  bool seen_file_ = false, in_file_ = false, too_large_ = false;
  // Who sends it, and what was refused.
  std::string logon_;
  Caller caller_;
  bool identified_ = false, claimed_ = false;
  Access access_ = Access::kGranted;
  http::status refusal_ = http::status::ok;
};

}  // namespace

std::shared_ptr<Route> PieceRoute(std::shared_ptr<Connection> conn) {
  return std::make_shared<PieceLineRoute>(std::move(conn));
}

std::shared_ptr<Route> UploadRoute(std::shared_ptr<Connection> conn) {
  return std::make_shared<Upload>(std::move(conn));
}

}  // namespace guichet::web
