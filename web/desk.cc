#include "desk.h"

#include <algorithm>
#include <cerrno>

#include "core/records.h"
#include "platform/datetime.h"
#include "platform/env.h"
#include "support/filenames.h"
#include "support/text.h"
#include "workflow/move.h"
#include "workflow/stages.h"

namespace guichet::web::desk {

namespace {

// The length of the UTF-8 sequence at `s[i]`, 0 when it is not one.
size_t Utf8Length(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size() || (n == 2 && c < 0xC2)) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  return n;
}

bool IsUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const size_t n = Utf8Length(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// The first `n` bytes of an open file (fewer when it is shorter).
std::string ReadOpen(os::File& f, int64_t n) {
  std::string data(static_cast<size_t>(n), '\0');
  int64_t got = 0;
  for (int64_t r; got < n && (r = f.Read(data.data() + got, static_cast<size_t>(n - got))) > 0;)
    got += r;
  data.resize(static_cast<size_t>(got));
  return data;
}

// Reads a small regular file without following a link; false when it cannot.
bool ReadSmall(const std::string& path, int64_t max, std::string* data) {
  os::File f = os::File::OpenRead(path);
  if (!f.is_open()) return false;
  const int64_t n = f.Size();
  if (n < 0 || n > max) return false;
  *data = ReadOpen(f, n);
  return true;
}

// Removes `name`, an aside file of `folder`, when the guichet-web that wrote it has ended
// (it stopped mid-write): "~" + target + "." + process number + "-" + count + ".tmp".
void SweepAside(const std::string& folder, const std::string& name) {
  if (name.size() < 5 || name.compare(name.size() - 4, 4, ".tmp") != 0) return;
  const size_t dash = name.rfind('-'), dot = name.rfind('.', dash);
  if (dash == std::string::npos || dot == std::string::npos) return;
  const std::string pid = name.substr(dot + 1, dash - dot - 1);
  if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos)
    return;
  const long n = std::stol(pid);
  if (n != os::ProcessId() && os::ProcessEnded(n) &&
      os::KindOf(folder + "/" + name, false) == os::Kind::kFile)
    os::Remove(folder + "/" + name);
}

}  // namespace

// ---- who is a transcriber ---------------------------------------------------------------

std::set<std::string> ParseTranscribers(std::string_view text) {
  const std::string utf8 = IsUtf8(text) ? std::string(text) : ToUtf8(text);
  std::set<std::string> ids;
  size_t at = 0;
  if (utf8.rfind("\xEF\xBB\xBF", 0) == 0) at = 3;  // a byte order mark
  while (at <= utf8.size()) {
    size_t end = utf8.find('\n', at);
    if (end == std::string::npos) end = utf8.size();
    std::string_view line = std::string_view(utf8).substr(at, end - at);
    at = end + 1;
    while (!line.empty() &&
           std::string_view(" \t\r\v\f").find(line.back()) != std::string_view::npos)
      line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (!line.empty() && line[0] != ';') ids.emplace(line);
  }
  return ids;
}

bool Transcribers::Contains(const std::string& id) {
  if (id.empty()) return false;
  // The list is read again only when its size or last change differ from the last reading.
  os::File f = os::File::OpenRead(path_);
  const int64_t size = f.is_open() ? f.Size() : -1;
  const int64_t modified = f.is_open() ? f.ModifiedNs() : -1;
  if (size < 0 || size > (1 << 20)) {
    ids_.clear();
    size_ = modified_ = -1;
    return false;
  }
  if (size != size_ || modified != modified_) {
    ids_ = ParseTranscribers(ReadOpen(f, size));
    size_ = size;
    modified_ = modified;
  }
  return ids_.count(id) > 0;
}

// ---- who has a document open ------------------------------------------------------------

const Claims::Claim* Claims::Live(const std::string& key, Clock::time_point now) {
  auto it = claims_.find(key);
  if (it == claims_.end()) return nullptr;
  if (now - it->second.seen >= kHold) {
    claims_.erase(it);
    return nullptr;
  }
  return &it->second;
}

std::string Claims::Holder(const std::string& key, const std::string& token, Clock::time_point now,
                           bool* mine) {
  const Claim* c = Live(key, now);
  *mine = c && c->token == token;
  return c ? c->name : "";
}

std::string Claims::HeldByOther(const std::string& key, const std::string& token,
                                Clock::time_point now) {
  auto* c = const_cast<Claim*>(Live(key, now));
  if (!c) return "";
  if (c->token == token) {
    c->seen = now;
    return "";
  }
  // A holder without a name still holds it.
  return c->name.empty() ? "?" : c->name;
}

bool Claims::Open(const std::string& key, const std::string& token, const std::string& name,
                  bool force, Clock::time_point now, std::string* other) {
  const Claim* c = Live(key, now);
  if (c && c->token != token && !force) {
    *other = c->name.empty() ? "?" : c->name;
    return false;
  }
  claims_[key] = Claim{token, name, now};
  return true;
}

void Claims::Close(const std::string& key, const std::string& token) {
  auto it = claims_.find(key);
  if (it != claims_.end() && it->second.token == token) claims_.erase(it);
}

void Claims::ReleaseAll(const std::string& token) {
  for (auto it = claims_.begin(); it != claims_.end();)
    it = it->second.token == token ? claims_.erase(it) : std::next(it);
}

// ---- documents ----------------------------------------------------------------------------

bool IsAuthorName(std::string_view s) {
  if (s.empty() || s.size() > 120 || s == "." || s == "..") return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

bool IsDocumentNumber(std::string_view s) {
  return !s.empty() && s.size() <= 18 &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Key(const std::string& author, const std::string& number) {
  return author + "/" + number;
}

std::string FamilyFolder(const std::string& transcriptions, const std::string& author) {
  if (!IsAuthorName(author)) return "";
  const std::string folder = transcriptions + "/" + author;
  if (os::KindOf(folder, false) != os::Kind::kFolder) return "";
  const std::string root = os::RealPath(transcriptions), real = os::RealPath(folder);
  if (root.empty() || real.empty() || !EqualsNoCase(real, root + "/" + author)) return "";
  return folder;
}

std::vector<std::string> FamilyNames(const std::string& folder, const std::string& number) {
  std::vector<std::string> names;
  for (std::string& name : os::ListNames(folder)) {
    std::string n, ending;
    if (ParseDocumentFileName(name, &n, &ending) && n == number) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool IsTypedExtension(std::string_view ext) {
  const std::string e = ToLower(ext);
  for (const char* t : kTypedExtensions)
    if (e == t) return true;
  return false;
}

std::string KindOfFile(std::string_view name) {
  const size_t dot = name.find('.');
  if (dot == std::string_view::npos) return "";
  const std::string ending = ToLower(name.substr(dot));
  for (const char* own : {".typedoc", ".id", ".urg", ".urgent!", ".finished.bat", ".spx.old"})
    if (ending == own) return "";
  if (ending == ".wav") return "audio";
  if (IsTypedExtension(ending.substr(1))) return "typed";
  if (ending == ".spx" || ending == ".caf") return "other";
  return "template";
}

namespace {

// The catalogues of the templates folder, read once for a listing.
struct Catalogues {
  std::string templates;
  std::vector<std::string> types, services;
};

Catalogues ReadCatalogues(Env& env, const std::string& templates) {
  Catalogues c;
  c.templates = templates;
  c.types = ReadTypeTable(env, templates);
  if (!c.types.empty()) c.services = ReadCatalogue(env, templates + "/Services.txt");
  return c;
}

// True when the family's file at `path` is still the type's template of its ending, as
// the move cycle copied it: the transcriber has not typed into it yet.
bool UntouchedTemplate(Env& env, const Catalogues& c, const std::string& code,
                       const std::string& path, const std::string& ending) {
  std::string service, type;
  TypeTemplates(c.services, c.types, code, &service, &type);
  if (service.empty() || type.empty()) return false;
  const std::string model = c.templates + "/" + service + "/" + type + ending;
  FileInfo info;
  std::string mine, theirs;
  // Sizes first: a typed document seldom has its template's.
  if (!env.GetAdminFileInfo(model, &info).ok() || !ReadSmall(path, info.size, &mine) ||
      static_cast<int64_t>(mine.size()) != info.size)
    return false;
  constexpr size_t kMost = 64 * 1024 * 1024;
  return env.ReadAdminFile(model, &theirs, kMost).ok() && theirs == mine;
}

// The typed documents among a family's files: regular files of a typed extension that
// are not the type's untouched template.
std::vector<std::string> TypedOf(Env& env, const Catalogues& c, const std::string& code,
                                 const std::string& folder, const std::vector<std::string>& names) {
  std::vector<std::string> typed;
  for (const std::string& name : names) {
    const std::string ending = name.substr(name.find('.')), path = folder + "/" + name;
    if (IsTypedExtension(ending.substr(1)) && os::KindOf(path, false) == os::Kind::kFile &&
        !UntouchedTemplate(env, c, code, path, ending))
      typed.push_back(name);
  }
  return typed;
}

// What a family's files say of the document.
Document Describe(Env& env, const std::string& folder, const std::string& author,
                  const std::string& number, const std::vector<std::string>& names,
                  const Catalogues& c) {
  Document doc;
  std::vector<std::string> endings;
  for (const std::string& name : names) endings.push_back(name.substr(name.find('.')));
  const DocumentEtape d =
      DescribeFamily(env, folder, number, endings, std::string(kTranscriptionsStage), c.types);
  for (const std::string& name : TypedOf(env, c, d.code, folder, names)) {
    const std::string ext = ToLower(name.substr(name.find('.') + 1));
    if (std::find(doc.typed.begin(), doc.typed.end(), ext) == doc.typed.end())
      doc.typed.push_back(ext);
  }
  doc.author = author;
  doc.number = number;
  doc.date = Format(d.date, "yyyy-mm-dd hh:nn");
  doc.serial = d.date.Serial();
  doc.type = ToUtf8(d.code);
  doc.label = ToUtf8(d.libelle);
  doc.name = ToUtf8(d.nom);
  doc.urgent = d.urgent;
  return doc;
}

}  // namespace

bool ReadDocument(const std::string& transcriptions, const std::string& templates,
                  const std::string& author, const std::string& number, Document* doc) {
  if (!IsDocumentNumber(number)) return false;
  const std::string folder = FamilyFolder(transcriptions, author);
  if (folder.empty()) return false;
  const std::vector<std::string> names = FamilyNames(folder, number);
  if (names.empty()) return false;
  Env& env = *Env::Default();
  *doc = Describe(env, folder, author, number, names, ReadCatalogues(env, templates));
  return true;
}

std::vector<std::string> TypedNames(const std::string& folder, const std::string& number,
                                    const std::string& templates) {
  Env& env = *Env::Default();
  const std::vector<std::string> names = FamilyNames(folder, number);
  std::string code;
  for (const std::string& name : names)
    if (EqualsNoCase(name.substr(name.find('.')), ".typedoc")) {
      std::string data;
      if (ReadSmall(folder + "/" + name, 4096, &data))
        code = Trim(data.substr(0, data.find_first_of("\r\n")));
    }
  return TypedOf(env, ReadCatalogues(env, templates), code, folder, names);
}

std::vector<Document> ReadQueue(const std::string& transcriptions, const std::string& templates) {
  std::vector<Document> docs;
  Env& env = *Env::Default();
  const Catalogues catalogues = ReadCatalogues(env, templates);
  for (const std::string& author : os::ListNames(transcriptions)) {
    const std::string folder = FamilyFolder(transcriptions, author);
    if (folder.empty()) continue;
    std::map<std::string, std::vector<std::string>> families;
    for (std::string& name : os::ListNames(folder)) {
      if (name[0] == '~') SweepAside(folder, name);
      std::string number, ending;
      if (ParseDocumentFileName(name, &number, &ending) && IsDocumentNumber(number))
        families[number].push_back(std::move(name));
    }
    for (const auto& [number, names] : families)
      docs.push_back(Describe(env, folder, author, number, names, catalogues));
  }
  std::sort(docs.begin(), docs.end(), [](const Document& a, const Document& b) {
    if (a.urgent != b.urgent) return a.urgent;
    if (a.serial != b.serial) return a.serial < b.serial;
    if (a.number.size() != b.number.size()) return a.number.size() < b.number.size();
    if (a.number != b.number) return a.number < b.number;
    return a.author < b.author;
  });
  return docs;
}

// ---- writing into a family's folder -------------------------------------------------------

AsideFile::~AsideFile() {
  if (!aside_.empty()) {
    file_.Close();  // Windows deletes no file that is open
    os::Remove(aside_);
  }
}

int AsideFile::Open(const std::string& folder, const std::string& name) {
  static uint64_t counter = 0;
  folder_ = folder;
  name_ = name;
  const std::string aside = folder + "/~" + name + "." + std::to_string(os::ProcessId()) + "-" +
                            std::to_string(++counter) + ".tmp";
  int err = 0;
  file_ = os::File::Create(aside, false, &err);
  if (!file_.is_open()) return err ? err : EIO;
  aside_ = aside;
  written_ = 0;
  return 0;
}

int AsideFile::Write(std::string_view data) {
  if (!file_.is_open()) return EBADF;
  written_ += static_cast<int64_t>(data.size());
  return file_.WriteAll(data);
}

int AsideFile::Commit() {
  if (!file_.is_open()) return EBADF;
  int err = file_.Sync();
  if (!err) err = file_.Close();
  if (!err) err = os::Rename(aside_, folder_ + "/" + name_, true);
  if (err) return err;
  aside_.clear();
  return os::FlushFileSystem(folder_);
}

bool NameForId(std::string_view utf8, std::string* cp1252, std::string* why) {
  const std::string text = Trim(utf8);
  if (!IsUtf8(text)) {
    *why = "Le nom n’est pas un texte valide.";
    return false;
  }
  if (text.empty()) {
    *why = "Le nom est vide.";
    return false;
  }
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); i += Utf8Length(text, i)) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // C0 controls, DEL, and C1 controls (U+0080-U+009F: C2 80 to C2 9F).
    if (c < 0x20 || c == 0x7F || (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
      *why = "Le nom contient un caractère de contrôle.";
      return false;
    }
    ++chars;
  }
  if (chars > 200) {
    *why = "Le nom dépasse 200 caractères.";
    return false;
  }
  std::string bytes = FromUtf8(text);
  if (ToUtf8(bytes) != text) {
    *why = "Le nom contient un caractère que le dossier ne peut pas enregistrer.";
    return false;
  }
  *cp1252 = std::move(bytes);
  return true;
}

std::string ReplaceFirstLine(std::string_view content, std::string_view line) {
  const size_t nl = content.find('\n');
  if (nl == std::string_view::npos) return std::string(line) + "\r\n";
  const bool crlf = nl > 0 && content[nl - 1] == '\r';
  return std::string(line) + (crlf ? "\r\n" : "\n") + std::string(content.substr(nl + 1));
}

}  // namespace guichet::web::desk
