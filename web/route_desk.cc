// The transcription desk (/desk/...) and the author's typed documents (/typed).
//
// The desk serves the transcribers that the administrator's list names: the queue of
// every author's documents in Tasks/Transcriptions, a document's files, and the changes a
// transcriber makes (the typed document, the name in the .id, "done", which runs the
// family's stage batch file through the batch runner). One session at a time has a
// document open; the others may read it but not change it. /typed hands an author the
// typed documents of their own folder in Tasks/Validations, which the attachments answer
// leaves out.
#include <algorithm>
#include <ctime>

#include "access.h"
#include "desk.h"
#include "files.h"
#include "form.h"
#include "route.h"
#include "runner.h"
#include "server.h"
#include "support/filenames.h"
#include "support/names.h"
#include "support/text.h"

namespace guichet::web {

namespace {

constexpr int64_t kMaxTypedBytes = 50 * 1024 * 1024;
constexpr size_t kMaxIdBytes = 1024 * 1024;
const char kGone[] = "Ce document n’est plus en transcription";

// ".pdf", "pdf", ".PDF" -> "pdf"; "" for what is not a typed document's extension.
std::string TypedExtension(const std::string* ext) {
  if (!ext) return "";
  std::string e = ToLower(*ext);
  if (!e.empty() && e[0] == '.') e.erase(0, 1);
  return desk::IsTypedExtension(e) ? e : "";
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const std::string& s : items) out += (out.size() > 1 ? ", " : "") + JsonString(s);
  return out + "]";
}

// The family file `wanted` as its folder spells it (names compared without regard to
// case); "" when there is none.
std::string FamilyName(const std::string& folder, const std::string& number,
                       std::string_view wanted) {
  for (const std::string& name : desk::FamilyNames(folder, number))
    if (EqualsNoCase(name, wanted)) return name;
  return "";
}

// The real path of the family file `wanted` (any case) of `folder`, a family's folder:
// the file itself, never a link at its name nor anything outside the folder; "" otherwise.
std::string FamilyFileReal(const std::string& folder, const std::string& number,
                           std::string_view wanted) {
  const std::string name = FamilyName(folder, number, wanted);
  if (name.empty() || os::KindOf(folder + "/" + name, false) != os::Kind::kFile) return "";
  const std::string root = os::RealPath(folder);
  return root.empty() ? "" : ResolveInside(folder + "/" + name, {root});
}

class DeskBase : public Route {
 public:
  using Route::Route;

 protected:
  void SendJson(http::status status, const std::string& body, bool close = false) {
    auto res = conn().MakeText(status, body + "\n");
    res->set(http::field::content_type, "application/json; charset=utf-8");
    res->set(http::field::cache_control, "no-store");
    conn().Send(res, close);
  }
  void Error(http::status status, std::string_view message, bool close = false) {
    SendJsonError(conn(), status, message, close);
  }
};

class Desk : public DeskBase {
 public:
  using DeskBase::DeskBase;
  ~Desk() override {
    if (!upload_key_.empty()) server().ReleaseUpload(upload_key_);
  }

  void Start() override {
    what_ = conn().path().substr(6);  // after "/desk/"
    // A refusal before the body is read ends the connection: the body is left unread.
    const auto verb = conn().head().method();
    const bool body = verb != http::verb::get && verb != http::verb::head;
    Access access = Identify(conn(), "", true, &caller_);
    if (access != Access::kGranted) return Refuse(conn(), access, body);
    if (!server().IsTranscriber(caller_.session->id))
      return Error(http::status::forbidden, "Réservé aux transcripteurs", body);
    token_ = caller_.token;
    me_ = caller_.session->name.empty() ? caller_.session->id : caller_.session->name;
    if (verb == http::verb::post) {
      auto self = shared_from_this();
      return conn().ReadSmallBody(kMaxFormBytes, [self, this](std::string b) {
        ParseUrlEncoded(b, &fields_);
        Dispatch();
      });
    }
    ParseUrlEncoded(conn().query(), &fields_);
    Dispatch();
  }

 private:
  using Clock = desk::Claims::Clock;

  std::string Field(const char* name) {
    const std::string* v = FindField(fields_, name);
    return v ? *v : "";
  }
  std::string transcriptions() { return server().config().tasks + "/Transcriptions"; }

  void Dispatch() {
    author_ = Field("a");
    number_ = Field("n");
    key_ = desk::Key(author_, number_);
    if (what_ == "queue") return Queue();
    if (what_ == "close") {
      server().claims().Close(key_, token_);
      return conn().Send(conn().MakeText(http::status::no_content, ""));
    }
    const bool put = what_ == "typed";
    if (!desk::IsAuthorName(author_) || !desk::IsDocumentNumber(number_))
      return Error(http::status::bad_request, "Document inconnu", put);
    folder_ = desk::FamilyFolder(transcriptions(), author_);
    if (folder_.empty() || desk::FamilyNames(folder_, number_).empty())
      return Error(http::status::not_found, kGone, put);
    if (what_ == "open") return Open();
    if (what_ == "file") return ServeFile();
    // The changes: the session must hold the document, or nobody.
    const std::string other = server().claims().HeldByOther(key_, token_, Clock::now());
    if (!other.empty()) return Conflict(other, put);
    if (put) return StartTyped();
    if (what_ == "name") return Name();
    if (what_ == "done") return Done();
    Error(http::status::not_found, "Inconnu");
  }

  void Conflict(const std::string& other, bool close = false) {
    SendJson(http::status::conflict,
             "{\"error\": " + JsonString("Ce document est ouvert par " + other) +
                 ", \"open_by\": " + JsonString(other) + "}",
             close);
  }

  std::string DocumentJson(const desk::Document& d) {
    bool mine = false;
    const std::string holder =
        server().claims().Holder(desk::Key(d.author, d.number), token_, Clock::now(), &mine);
    return "{\"author\": " + JsonString(d.author) + ", \"number\": " + JsonString(d.number) +
           ", \"date\": " + JsonString(d.date) + ", \"type\": " + JsonString(d.type) +
           ", \"label\": " + JsonString(d.label) + ", \"name\": " + JsonString(d.name) +
           ", \"urgent\": " + (d.urgent ? "true" : "false") +
           ", \"open_by\": " + JsonString(holder) +
           ", \"open_by_me\": " + (mine ? "true" : "false") + ", \"typed\": " + JsonList(d.typed) +
           "}";
  }

  void Queue() {
    std::string body = "{\"documents\": [";
    bool first = true;
    for (const desk::Document& d : desk::ReadQueue(transcriptions(), server().config().templates)) {
      body += (first ? "" : ", ") + DocumentJson(d);
      first = false;
    }
    SendJson(http::status::ok, body + "]}");
  }

  void Open() {
    std::string other;
    if (!server().claims().Open(key_, token_, me_, Field("force") == "1", Clock::now(), &other))
      return Conflict(other);
    desk::Document d;
    if (!desk::ReadDocument(transcriptions(), server().config().templates, author_, number_, &d)) {
      server().claims().Close(key_, token_);
      return Error(http::status::not_found, kGone);
    }
    std::string files = "[";
    for (const std::string& name : desk::FamilyNames(folder_, number_)) {
      std::string kind = desk::KindOfFile(name);
      if (kind.empty()) continue;
      if (kind == "typed" && std::find(d.typed.begin(), d.typed.end(),
                                       ToLower(name.substr(name.find('.') + 1))) == d.typed.end())
        kind = "template";  // still the template the move cycle dropped
      os::File f = os::File::OpenRead(folder_ + "/" + name);
      if (!f.is_open()) continue;  // a link, a FIFO, a folder: not a file of the family
      files += (files.size() > 1 ? ", " : "") + std::string("{\"name\": ") +
               JsonString(ToUtf8(name)) + ", \"size\": " + std::to_string(f.Size()) +
               ", \"kind\": " + JsonString(kind) + "}";
    }
    SendJson(http::status::ok,
             "{\"document\": " + DocumentJson(d) + ", \"files\": " + files + "]}");
  }

  void ServeFile() {
    const std::string f = FromUtf8(Field("f"));
    std::string number, ending;
    if (f.find_first_of("/\\:") != std::string::npos ||
        !ParseDocumentFileName(f, &number, &ending) || number != number_ ||
        !IsValidExtension(ending))
      return conn().SendText(http::status::not_found, "Not found\n");
    // Reading the document counts as working on it.
    server().claims().HeldByOther(key_, token_, Clock::now());
    const std::string real = FamilyFileReal(folder_, number_, f);
    if (real.empty()) return conn().SendText(http::status::not_found, "Not found\n");
    conn().SendFile(real, {os::RealPath(folder_)}, DocumentFileOptions(real, false));
  }

  // ---- PUT /desk/typed ----

  void StartTyped() {
    ext_ = TypedExtension(FindField(fields_, "ext"));
    if (ext_.empty())
      return Error(http::status::unsupported_media_type,
                   "Seuls les documents .pdf, .doc, .rtf et .txt sont acceptés", true);
    if (auto length = conn().content_length(); length && *length > kMaxTypedBytes)
      return Error(http::status::payload_too_large, "Le document dépasse 50 Mo", true);
    const std::string upload_key = "desk:" + key_ + "." + ext_;
    if (!server().ClaimUpload(upload_key))
      return Error(http::status::conflict, "Un autre dépôt de ce document est en cours", true);
    upload_key_ = upload_key;
    target_ = DocumentFileName(number_, "." + ext_);
    if (int err = aside_.Open(folder_, target_)) {
      server().Log("desk: cannot write in " + folder_ + ": error " + std::to_string(err));
      return Error(http::status::internal_server_error, "Le dossier du document est inaccessible",
                   true);
    }
    ReadChunk();
  }

  void ReadChunk() {
    auto self = shared_from_this();
    conn().ReadBodyChunk([self, this](std::string_view data, bool done) { OnChunk(data, done); });
  }

  void OnChunk(std::string_view data, bool done) {
    if (aside_.written() + static_cast<int64_t>(data.size()) > kMaxTypedBytes)
      return Error(http::status::payload_too_large, "Le document dépasse 50 Mo", true);
    if (aside_.Write(data) != 0)
      return Error(http::status::internal_server_error, "Écriture impossible", true);
    if (!done) return ReadChunk();
    if (aside_.written() == 0) return Error(http::status::bad_request, "Le document est vide");
    // Another session may have taken the document over while the body came.
    const std::string other = server().claims().HeldByOther(key_, token_, Clock::now());
    if (!other.empty()) return Conflict(other);
    // The family may have left while the body came: nothing is put back into its folder.
    if (desk::FamilyNames(folder_, number_).empty()) return Error(http::status::not_found, kGone);
    if (int err = aside_.Commit()) {
      server().Log("desk: cannot write " + folder_ + "/" + target_ + ": error " +
                   std::to_string(err));
      return Error(http::status::internal_server_error, "Écriture impossible");
    }
    // An earlier one of that extension spelt in another case is replaced too, where the
    // file system tells the two names apart; where it does not (Windows), the replaced
    // file kept the earlier name, which takes the new one's case.
    std::vector<std::string> same;
    bool exact = false;
    for (const std::string& name : desk::FamilyNames(folder_, number_)) {
      if (name == target_)
        exact = true;
      else if (EqualsNoCase(name, target_))
        same.push_back(name);
    }
    if (!exact && same.size() == 1) {
      // Through another name: a rename that changes only the case may do nothing.
      const std::string via = folder_ + "/~" + target_ + ".case";
      if (os::Rename(folder_ + "/" + same[0], via) == 0 &&
          os::Rename(via, folder_ + "/" + target_) != 0)
        os::Rename(via, folder_ + "/" + same[0]);
    }
    for (const std::string& name : same)
      if (exact && os::KindOf(folder_ + "/" + name, false) != os::Kind::kFolder)
        os::Remove(folder_ + "/" + name);
    desk::Document d;
    desk::ReadDocument(transcriptions(), server().config().templates, author_, number_, &d);
    SendJson(http::status::created, "{\"typed\": " + JsonList(d.typed) + "}");
  }

  // ---- POST /desk/name ----

  void Name() {
    std::string line, why;
    if (!desk::NameForId(Field("name"), &line, &why)) return Error(http::status::bad_request, why);
    std::string name = FamilyName(folder_, number_, DocumentFileName(number_, ".id"));
    std::string content;
    if (name.empty()) {
      name = DocumentFileName(number_, ".id");
    } else if (os::KindOf(folder_ + "/" + name, false) == os::Kind::kFile) {
      os::File f = os::File::OpenRead(folder_ + "/" + name);
      const int64_t size = f.is_open() ? f.Size() : -1;
      if (size < 0 || static_cast<uint64_t>(size) > kMaxIdBytes)
        return Error(http::status::internal_server_error, "Le fichier du nom est illisible");
      content.resize(static_cast<size_t>(size));
      if (size > 0 && f.ReadAt(content.data(), content.size(), 0) != size)
        return Error(http::status::internal_server_error, "Le fichier du nom est illisible");
    }
    // Anything else at that name (a link, a FIFO) is replaced by a file of the name alone.
    desk::AsideFile out;
    int err = out.Open(folder_, name);
    if (!err) err = out.Write(desk::ReplaceFirstLine(content, line));
    if (!err) err = out.Commit();
    if (err) {
      server().Log("desk: cannot write " + folder_ + "/" + name + ": error " + std::to_string(err));
      return Error(http::status::internal_server_error, "Écriture impossible");
    }
    conn().Send(conn().MakeText(http::status::no_content, ""));
  }

  // ---- POST /desk/done ----

  void Done() {
    desk::Document d;
    if (!desk::ReadDocument(transcriptions(), server().config().templates, author_, number_, &d))
      return Error(http::status::not_found, kGone);
    if (d.typed.empty())
      return Error(http::status::conflict,
                   "Aucun document tapé n’est joint : déposez-le avant de terminer.");
    const std::string bat =
        FamilyName(folder_, number_, DocumentFileName(number_, ".finished.bat"));
    const std::string real_folder = os::RealPath(folder_);
    if (bat.empty() || real_folder.empty())
      return Error(http::status::not_found, "Le fichier de commandes de ce document est absent");
    batch::BatchLocation where;
    std::string why;
    if (!batch::LocateBatchFile(real_folder + "/" + bat, real_folder, &where, &why))
      return Error(http::status::internal_server_error, ToUtf8(why));
    auto tree = batch::RealTree();
    const batch::Outcome outcome = batch::RunBatchFile(*tree, where);
    if (outcome.code != batch::Outcome::kDone) {
      server().Log("desk: " + real_folder + "/" + bat + ": " + outcome.message);
      return Error(http::status::internal_server_error, ToUtf8(outcome.message));
    }
    server().claims().Close(key_, token_);
    SendJson(http::status::ok, "{\"stage\": \"Validations\"}");
  }

  Caller caller_;
  Fields fields_;
  std::string what_, token_, me_, author_, number_, key_, folder_;
  // PUT /desk/typed
  std::string ext_, target_, upload_key_;
  desk::AsideFile aside_;
};

// GET /typed?n=42[&ext=doc]: the typed documents of document n in the session's own
// folder of Tasks/Validations.
class Typed : public DeskBase {
 public:
  using DeskBase::DeskBase;

  void Start() override {
    Caller caller;
    Access access = Identify(conn(), "", true, &caller);
    if (access != Access::kGranted) return Refuse(conn(), access);
    Fields query;
    ParseUrlEncoded(conn().query(), &query);
    const std::string* n = FindField(query, "n");
    if (!n || !desk::IsDocumentNumber(*n))
      return Error(http::status::bad_request, "Document inconnu");
    const std::string* ext = FindField(query, "ext");
    const std::string author = FromUtf8(caller.session->id);
    const std::string folder =
        desk::IsAuthorName(author)
            ? desk::FamilyFolder(server().config().tasks + "/Validations", author)
            : "";
    if (ext) {
      const std::string e = TypedExtension(ext);
      const std::string real = e.empty() || folder.empty()
                                   ? ""
                                   : FamilyFileReal(folder, *n, DocumentFileName(*n, "." + e));
      if (real.empty()) return conn().SendText(http::status::not_found, "Not found\n");
      return conn().SendFile(real, {os::RealPath(folder)}, DocumentFileOptions(real, true));
    }
    std::string files = "[";
    if (!folder.empty()) {
      for (const std::string& name : desk::TypedNames(folder, *n, server().config().templates)) {
        const std::string ending = name.substr(name.find('.') + 1);
        os::File f = os::File::OpenRead(folder + "/" + name);
        if (!f.is_open()) continue;
        files += (files.size() > 1 ? ", " : "") + std::string("{\"name\": ") +
                 JsonString(ToUtf8(name)) + ", \"size\": " + std::to_string(f.Size()) +
                 ", \"ext\": " + JsonString(ToLower(ending)) + "}";
      }
    }
    SendJson(http::status::ok, "{\"files\": " + files + "]}");
  }
};

}  // namespace

std::shared_ptr<Route> DeskRoute(std::shared_ptr<Connection> conn) {
  return std::make_shared<Desk>(std::move(conn));
}

std::shared_ptr<Route> TypedRoute(std::shared_ptr<Connection> conn) {
  return std::make_shared<Typed>(std::move(conn));
}

}  // namespace guichet::web
