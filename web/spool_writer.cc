#include "spool_writer.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "os.h"

namespace guichet::web {

namespace {

std::string OneLine(std::string v) {
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';
  return v;
}

// A value that may go into a request file: Windows-1252 text without control characters
// (CR and LF excepted: they become spaces) and without the five codes that have no
// character.
bool PlainValue(std::string_view v) {
  for (char c : v) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 32 && u != '\r' && u != '\n') || u == 127 || u == 0x81 || u == 0x8D || u == 0x8F ||
        u == 0x90 || u == 0x9D)
      return false;
  }
  return true;
}

bool ParseIndex(std::string_view name, int* index) {
  if (name.size() < 2 || name[0] != 'p' || name.size() > 4) return false;
  int n = 0;
  for (char c : name.substr(1)) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (name[1] == '0' || n < 1) return false;
  *index = n;
  return true;
}

std::atomic<uint64_t> temp_counter{0};

}  // namespace

bool RequestFileContent(const Fields& fields, std::string* content, std::string* refusal) {
  auto refuse = [&](const char* why) {
    if (refusal) *refusal = why;
    return false;
  };
  std::string logon, command;
  std::vector<std::string> p(1);
  std::vector<bool> seen(1);
  bool have_logon = false, have_command = false;
  for (const auto& [name, value] : fields) {
    int i;
    if (name == "logon") {
      if (!have_logon) logon = value, have_logon = true;
    } else if (name == "command") {
      if (!have_command) command = value, have_command = true;
    } else if (name.size() > 1 && name[0] == 'p' && name[1] >= '0' && name[1] <= '9') {
      if (!ParseIndex(name, &i) || i > kMaxValueIndex) return refuse("Bad field name");
      if (static_cast<size_t>(i) >= p.size()) p.resize(i + 1), seen.resize(i + 1);
      if (!seen[i]) p[i] = value, seen[i] = true;
    }
  }
  p.resize(std::max<size_t>(p.size(), 4));
  for (const std::string* v : {&logon, &command})
    if (!PlainValue(*v)) return refuse("Control character in a value");
  for (size_t i = 1; i < p.size(); ++i) {
    if (!PlainValue(p[i])) return refuse("Control character in a value");
    if (i >= 3 && p[i].find('|') != std::string::npos) return refuse("\"|\" in p3 or later");
  }
  std::string line6;
  for (size_t i = 3; i < p.size(); ++i) {
    if (i > 3) line6 += '|';
    line6 += OneLine(p[i]);
  }
  *content = "/portail.hv\r\n" + OneLine(logon) + "\r\n" + OneLine(command) + "\r\n" +
             OneLine(p[1]) + "\r\n" + OneLine(p[2]) + "\r\n" + line6 + "\r\n";
  return true;
}

bool ConsumedWithoutAnswer(std::string_view command) {
  return command == "cancelled" || command == "cleared" || command == "invalidated" ||
         command == "finished";
}

int WriteFileInto(const std::string& folder, const std::string& name, std::string_view data,
                  bool durable) {
  std::string temp = folder + "/." + name + "." + std::to_string(os::ProcessId()) + "-" +
                     std::to_string(++temp_counter) + ".tmp";
  int err = 0;
  os::File file = os::File::Create(temp, false, &err);
  if (!file.is_open()) return err;
  err = file.WriteAll(data);
  if (!err && durable && os::kFlushEachFile) err = file.Flush();
  if (int closed = file.Close(); closed && !err) err = closed;
  if (!err) err = os::Rename(temp, folder + "/" + name, durable);
  if (err) os::Remove(temp);
  return err;
}

int RemoveOrphanTemporaries(const std::string& folder) {
  int removed = 0;
  for (const std::string& n : os::ListNames(folder)) {
    // ".NAME.PID-K.tmp" (WriteFileInto) and ".upload-PID-K.tmp" (uploads of unknown length).
    if (n.size() < 6 || n[0] != '.' || n.compare(n.size() - 4, 4, ".tmp") != 0) continue;
    size_t dash = n.rfind('-');
    if (dash == std::string::npos) continue;
    size_t start = n.find_last_not_of("0123456789", dash - 1);
    if (start == std::string::npos || start + 1 >= dash) continue;
    long pid = std::atol(n.substr(start + 1, dash - start - 1).c_str());
    if (pid <= 0 || pid == os::ProcessId() || !os::ProcessEnded(pid)) continue;
    if (os::Remove(folder + "/" + n)) ++removed;
  }
  return removed;
}

long RequestNameProcess(std::string_view name) {
  if (name.size() < 3 || name[0] != 'w') return 0;
  long pid = 0;
  size_t i = 1;
  for (; i < name.size() && i < 12 && name[i] >= '0' && name[i] <= '9'; ++i)
    pid = pid * 10 + (name[i] - '0');
  return i > 1 && i < name.size() && name[i] == '_' ? pid : 0;
}

int RemoveLeftoverRequests(const std::string& folder) {
  int removed = 0;
  for (const std::string& n : os::ListNames(folder)) {
    const long pid = RequestNameProcess(n);
    if (pid <= 0 || (pid != os::ProcessId() && !os::ProcessEnded(pid))) continue;
    if (os::Remove(folder + "/" + n)) ++removed;
  }
  return removed;
}

bool RemoveFile(const std::string& folder, const std::string& name) {
  return os::Remove(folder + "/" + name);
}

bool ReadSmallFile(const std::string& path, std::string* data, int64_t max_bytes) {
  os::File file = os::File::OpenRead(path);
  const int64_t size = file.Size();
  if (size < 0 || size > max_bytes) return false;
  data->clear();
  data->resize(static_cast<size_t>(size));
  size_t got = 0;
  while (got < data->size()) {
    int64_t n = file.Read(data->data() + got, data->size() - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  data->resize(got);
  return true;
}

std::string Base64(std::string_view in) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  size_t i = 0;
  const auto* b = reinterpret_cast<const unsigned char*>(in.data());
  for (; i + 3 <= in.size(); i += 3) {
    uint32_t v = (b[i] << 16) | (b[i + 1] << 8) | b[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < in.size()) {
    uint32_t v = b[i] << 16;
    if (i + 1 < in.size()) v |= b[i + 1] << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string PieceLine(std::string_view idexamen, std::string_view extension, int64_t offset,
                      std::string_view bytes, std::optional<int64_t> total) {
  std::string line = "path=&idexamen=" + std::string(idexamen) +
                     "&extension=" + std::string(extension) + "&offset=" + std::to_string(offset) +
                     "&length=" + std::to_string(bytes.size());
  if (total) line += "&totallength=" + std::to_string(*total);
  line += "&encoding=base64&data=";
  line += Base64(bytes);
  return line;
}

PieceFolder::PieceFolder(std::string folder) : folder_(std::move(folder)) {
  // Start above every numbered piece already there.
  {
    for (const std::string& name : os::ListNames(folder_)) {
      std::string_view n = name;
      size_t dot = n.find('.');
      if (dot == 0 || dot == std::string_view::npos) continue;
      std::string_view base = n.substr(0, dot);
      if (base.size() > 18) continue;
      uint64_t v = 0;
      bool digits = true;
      for (char c : base) {
        if (c < '0' || c > '9') {
          digits = false;
          break;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');
      }
      if (digits && v >= next_) next_ = v + 1;
    }
  }
}

int PieceFolder::Write(const std::string& line) {
  std::string n;
  // Skip numbers that another writer put there since.
  for (;;) {
    n = std::to_string(next_++);
    if (os::KindOf(folder_ + "/" + n + ".txt", false) == os::Kind::kNone &&
        os::KindOf(folder_ + "/" + n + ".rdy", false) == os::Kind::kNone)
      break;
  }
  if (int err = WriteFileInto(folder_, n + ".txt", line + "\r\n", true)) return err;
  return WriteFileInto(folder_, n + ".rdy", "", true);
}

int PieceFolder::Sync() { return os::kFlushEachFile ? 0 : os::FlushFileSystem(folder_); }

PieceWriter::PieceWriter(PieceFolder* post, std::string idexamen, std::string extension,
                         int64_t total)
    : post_(post),
      idexamen_(std::move(idexamen)),
      extension_(std::move(extension)),
      total_(total),
      text_(IsTextExtension(extension_)) {
  buffer_.reserve(kPieceBytes);
}

int PieceWriter::Flush() {
  if (buffer_.empty() && (pieces_ > 0 || received() != total_)) return 0;
  std::optional<int64_t> total;
  if (!text_) total = total_;
  int err = post_->Write(PieceLine(idexamen_, extension_, offset_, buffer_, total));
  if (err) return err;
  offset_ += static_cast<int64_t>(buffer_.size());
  buffer_.clear();
  ++pieces_;
  return 0;
}

int PieceWriter::Feed(std::string_view bytes) {
  if (received() + static_cast<int64_t>(bytes.size()) > total_) return EMSGSIZE;
  if (text_) {
    buffer_.append(bytes);
    return 0;
  }
  while (!bytes.empty()) {
    size_t take = std::min(bytes.size(), kPieceBytes - buffer_.size());
    buffer_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (buffer_.size() == kPieceBytes)
      if (int err = Flush()) return err;
  }
  return 0;
}

int PieceWriter::Finish() {
  if (received() != total_) return EMSGSIZE;
  if (int err = Flush()) return err;
  // An upload is answered only once its pieces and markers are on the disk: a power cut
  // after the answer must not lose them.
  return post_->Sync();
}

bool IsTextExtension(std::string_view ext) {
  std::string e;
  for (char c : ext) e += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return e == ".txt" || e == ".urg" || e == ".hved";
}

bool IsUploadNumber(std::string_view s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool IsUploadExtension(std::string_view s) {
  if (s.size() < 2 || s.size() > 17 || s[0] != '.') return false;
  for (char c : s.substr(1))
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '_'))
      return false;
  return true;
}

}  // namespace guichet::web
