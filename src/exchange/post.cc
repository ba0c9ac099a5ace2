#include "exchange/post.h"

#include <algorithm>
#include <limits>
#include <map>
#include <set>

#include "core/guichet.h"
#include "core/records.h"
#include "exchange/decode.h"
#include "exchange/liststore.h"
#include "exchange/spool.h"
#include "platform/env.h"
#include "support/filenames.h"
#include "support/names.h"
#include "support/text.h"

namespace guichet {
namespace {

// The value of `key` in a piece header: from just after the first occurrence of the key
// (exact case, anywhere) up to the next "&".
bool HeaderValue(std::string_view header, std::string_view key, std::string* value) {
  size_t at = header.find(key);
  if (at == std::string_view::npos) return false;
  size_t from = at + key.size();
  size_t end = header.find('&', from);
  *value = std::string(header.substr(from, end == std::string_view::npos ? end : end - from));
  return true;
}

// A numeric header value. False when it does not fit 32 bits.
bool HeaderNumber(std::string_view header, std::string_view key, int64_t absent, int64_t* number) {
  std::string v;
  if (!HeaderValue(header, key, &v)) {
    *number = absent;
    return true;
  }
  *number = LeadingNumber(v);
  return *number >= std::numeric_limits<int32_t>::min() &&
         *number <= std::numeric_limits<int32_t>::max();
}

bool Missing(const Status& s) {
  return s.kind() == Status::kNotFound || s.kind() == Status::kPathNotFound;
}

// Size of a file, 0 when it does not exist; other failures are raised.
int64_t SizeOf(Env& env, const std::string& path) {
  FileInfo info;
  Status s = env.GetFileInfo(path, &info);
  if (Missing(s)) return 0;
  Check(s);
  return info.size;
}

// Deletes a file; one that is already gone is fine.
void Remove(Env& env, const std::string& path) {
  Status s = env.DeleteFile(path);
  if (!s.ok() && !Missing(s)) Check(s);
}

struct Piece {
  std::string rdyname, txtname;  // bare file names
  std::string marker, file;      // full paths
  std::string doc;               // the document it goes into, once known
  int64_t offset = 0;            // where in it
};

Piece MakePiece(Guichet& g, const std::string& rdyfilename) {
  Piece p;
  p.rdyname = rdyfilename;
  const std::string base =
      EqualsNoCase(ExtensionFichier(rdyfilename), "rdy") && rdyfilename.size() >= 4
          ? rdyfilename.substr(0, rdyfilename.size() - 4)
          : rdyfilename;
  p.txtname = base + ".txt";
  p.marker = g.Spool("post/" + p.rdyname);
  p.file = g.Spool("post/" + p.txtname);
  return p;
}

enum class Outcome {
  kHandled,  // written, set aside or stored: gone from "post"
  kWaiting,  // waits for the pieces before it, or for its ".txt"
  kLeft,     // outside the pass, or a failure that can pass: tried again
};

// The document the last piece went into, kept open while the pieces of one pickup follow
// one another, so that a piece costs one write rather than an open, a write and a close.
// Whatever handles the document by its path (a removal, a rollback, the completion move)
// lets it go first.
class HeldDocument {
 public:
  // The size of `doc`, 0 when it does not exist: through the handle when it is the
  // document held and still at its path, else by its path. Other failures are raised.
  int64_t Size(Env& env, const std::string& doc) {
    if (file_ != nullptr && path_ == doc) {
      if (file_->SizeAtPath(&size_).ok()) return size_;
      Check(Release());  // moved or replaced meanwhile: the path tells
    }
    return SizeOf(env, doc);
  }

  // Writes at `offset` of an existing document, held open from then on; `size` is the
  // document's size after the write: the size last seen, or the write's end beyond it.
  Status Write(Env& env, const std::string& doc, int64_t offset, std::string_view bytes,
               int64_t* size) {
    if (file_ == nullptr || path_ != doc) {
      Status s = Release();
      if (s.ok()) s = env.OpenForWriteAt(doc, &file_);
      if (s.ok()) s = file_->Size(&size_);
      if (!s.ok()) return s;
      path_ = doc;
    }
    Status s = file_->WriteAt(offset, bytes);
    if (!s.ok()) return s;
    size_ = std::max(size_, offset + static_cast<int64_t>(bytes.size()));
    *size = size_;
    return s;
  }

  // Flushes `doc` to the disk: through the handle when it is the document held, else by
  // its path.
  Status Sync(Env& env, const std::string& doc) {
    if (file_ != nullptr && path_ == doc) return file_->Sync();
    return env.SyncFile(doc);
  }

  // Closes the document held, if any; the close's own failure is returned.
  Status Release() {
    std::unique_ptr<OpenFile> file = std::move(file_);
    path_.clear();
    return file == nullptr ? Status::Ok() : file->Close();
  }

 private:
  std::string path_;
  std::unique_ptr<OpenFile> file_;
  int64_t size_ = 0;  // of the document held, as last seen or written
};

// What one upload pickup learnt about the pieces it could not take.
struct Scan {
  HeldDocument held;
  // Pieces waiting when last looked at in this scan, by marker name, with the reason.
  std::map<std::string, std::string> waiting;
  // Documents (names folded to upper case) that pieces still in "post" go into.
  std::set<std::string> busy_docs;
  // Pieces that failed in this scan, by marker name, with the failure's description.
  std::map<std::string, std::string> failed;
  void Busy(const std::string& doc) {
    if (!doc.empty()) busy_docs.insert(ToUpper(NomFichier(doc)));
  }
  // Pieces written into a document whose bytes are not on the disk yet, by document:
  // their files go only once the document is flushed, at the end of the pass (or at
  // its completion), so that a power cut never leaves a piece gone and its bytes lost.
  std::map<std::string, std::vector<Piece>> unflushed;
  // Folders in which a document was begun since the last flush: their new names are
  // flushed too.
  std::set<std::string> begun_in;
  // Documents whose flush failed in this scan: their pieces wait for the next tick.
  std::set<std::string> unsynced;
};

// Moves a piece to "post_err" under the current time "yyyymmddhhnn_", then removes it
// from "post". A copy that fails raises, and the piece stays where it is.
void SetAside(Guichet& g, const Piece& p) {
  const std::string err = g.Spool("post_err");
  IgnoreFailure(g.env.CreateFolder(err));  // the copies below raise without it
  const std::string prefix = err + "/" + Format(g.env.Now(), "yyyymmddhhnn") + "_";
  if (g.env.FileExists(p.marker)) Check(g.env.CopyFile(p.marker, prefix + p.rdyname));
  if (g.env.FileExists(p.file)) Check(g.env.CopyFile(p.file, prefix + p.txtname));
  Remove(g.env, p.marker);
  // A folder in place of the piece file stays: the marker is what makes a piece.
  Status s = g.env.DeleteFile(p.file);
  if (!s.ok() && !Missing(s) && s.kind() != Status::kNotRegular) Check(s);
}

// Sets aside a piece that can never be handled, with a log line; it counts as handled.
Outcome SetAsideNow(Guichet& g, const Piece& p, const std::string& why) {
  SetAside(g, p);
  g.EcritLog("Guichet - TraitePost : " + why + " (" + p.marker + ")");
  g.IncCompte();
  return Outcome::kHandled;
}

// A piece that cannot be taken yet waits in "post". The pickup sets it aside once it has
// waited too long (see SetAsideWaiting).
Outcome Wait(Scan& scan, const Piece& p, const std::string& why) {
  scan.waiting[p.rdyname] = why;
  scan.Busy(p.doc);
  return Outcome::kWaiting;
}

// Failures that no later try can mend: something that is not a plain file (a folder, a
// pipe, a link) where a file must be, or a file beyond what the file system holds.
bool CannotPass(const std::exception& e) {
  const Failure* f = dynamic_cast<const Failure*>(&e);
  return f != nullptr && (f->kind() == Status::kNotRegular || f->kind() == Status::kTooLarge);
}

void CountPiece(Guichet& g, bool assembled) {
  g.IncCompte();
  if (assembled) g.AssembledCount = static_cast<int32_t>(WrapCounter(g.AssembledCount));
  g.SetLabel(Label::kLabelProgression,
             W("Nombre de fichiers assemblés : ") + Dec(g.AssembledCount));
}

// Brings a document back to `offset` bytes after a piece that did not fit: deleted when
// the piece began it; otherwise cut back in place, in one step, so that a kill at any
// instant leaves either the document as the piece left it or the document as before.
void RollBack(Env& env, const std::string& doc, int64_t offset) {
  if (offset == 0) {
    Remove(env, doc);
    return;
  }
  if (SizeOf(env, doc) > offset) Check(env.Truncate(doc, offset));
}

// A rollback copy ".tofix" left by an earlier version that was stopped while rolling
// back, looked for when a piece does not fit the document: the document is made again
// from it when the document is gone (its bytes past the piece's offset are then written
// again or cut), and it goes otherwise.
// True when the document was made again.
bool RestoreRollbackCopy(Env& env, const std::string& doc) {
  const std::string tofix = doc + ".tofix";
  if (!env.FileExists(tofix)) return false;
  if (env.FileExists(doc)) {
    Remove(env, tofix);
    return false;
  }
  Check(env.RenameFile(tofix, doc));
  return true;
}

// Moves a complete document from "temp" into the tasks folder: it leaves "temp" only
// once it is whole in the tasks folder. Text documents are converted on the way, whole.
void Complete(Guichet& g, const std::string& doc, const std::string& final_path, bool text) {
  // The copies below are flushed with their folder; the rename moves the very bytes, so
  // they go to the disk before it and the tasks folder's new name after it.
  if (text) {
    std::string raw;
    Check(g.env.ReadFile(doc, &raw));
    std::string converted = ConvertUtf8To1252(raw);
    Check(g.env.WriteFileAtomic(final_path, converted));
    if (SizeOf(g.env, final_path) == static_cast<int64_t>(converted.size())) Remove(g.env, doc);
  } else {
    // Within one file system a rename gives the same result as the copy and the delete
    // (the whole document in the tasks folder, none in "temp") without copying it again,
    // and atomically; across file systems the copy remains.
    Check(g.env.SyncFile(doc));
    if (g.env.RenameFile(doc, final_path).ok()) {
      Check(g.env.SyncFolder(DossierParent(final_path)));
      return;
    }
    Check(g.env.CopyFile(doc, final_path));
    if (SizeOf(g.env, final_path) == SizeOf(g.env, doc)) Remove(g.env, doc);
  }
}

// Removes the pieces noted as written into `doc`, whose bytes are now on the disk, the
// lowest offsets first: a stop half-way leaves the later pieces, whose bytes the
// document already holds, never a first piece that would begin it again without them.
void DropFlushed(Env& env, Scan& scan, const std::string& doc) {
  auto it = scan.unflushed.find(doc);
  if (it == scan.unflushed.end()) return;
  std::vector<Piece> pieces = std::move(it->second);
  scan.unflushed.erase(it);
  std::stable_sort(pieces.begin(), pieces.end(),
                   [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
  for (const Piece& p : pieces) {
    Remove(env, p.marker);
    Remove(env, p.file);
  }
}

// The document is cut back to `from` bytes (begun again, rolled back): the pieces of
// this pass written at or beyond it lost their bytes, and stay in "post" to be written
// again.
void Forget(Scan& scan, const std::string& doc, int64_t from) {
  auto it = scan.unflushed.find(doc);
  if (it == scan.unflushed.end()) return;
  auto& pieces = it->second;
  pieces.erase(std::remove_if(pieces.begin(), pieces.end(),
                              [from](const Piece& p) { return p.offset >= from; }),
               pieces.end());
}

// Whether a piece is the leftover of a document already complete in the tasks folder:
// Guichet was stopped after the completion and before the files of the pieces of that
// pass went. Nothing of the document is in "temp", the document in the tasks folder has
// its total length and holds the piece's very bytes at its place.
bool AlreadyInCompleteDocument(Env& env, const std::string& doc, const std::string& final_path,
                               int64_t offset, int64_t totallength, const std::string& bytes) {
  FileInfo info;
  if (env.GetFileInfo(doc, &info).ok() || !env.GetFileInfo(final_path, &info).ok()) return false;
  if (info.size != totallength || offset + static_cast<int64_t>(bytes.size()) > totallength)
    return false;
  std::string there;
  return env.ReadAt(final_path, offset, bytes.size(), &there).ok() && there == bytes;
}

bool InPass(const std::string& ext, const std::string& extaimed) {
  const std::string lower = ToLower(ext);
  if (extaimed == "urg") return lower == ".urg";
  if (extaimed == "pid") return lower == ".pid";
  return lower != ".urg" && lower != ".pid";
}

Outcome Traite(Guichet& g, Piece& p, const std::string& extaimed, Scan& scan) {
  Env& env = g.env;
  std::string content;
  Status rs = env.ReadFile(p.file, &content, kMaxPieceLine + 2);
  // A piece file that is missing, or is not a plain file (a link), is not there yet.
  if (Missing(rs) || rs.kind() == Status::kNotRegular) return Wait(scan, p, W("pièce absente"));
  if (rs.kind() == Status::kTooLarge) return SetAsideNow(g, p, W("pièce trop longue"));
  Check(rs);
  std::string_view line(content);
  // The line ends at the first CR or LF (two memchr scans: find_first_of tests the
  // whole set at every byte).
  line = line.substr(0, std::min(line.find('\r'), line.find('\n')));
  if (static_cast<int64_t>(line.size()) > kMaxPieceLine)
    return SetAsideNow(g, p, W("pièce trop longue"));

  if (line.substr(0, 5) == "List=") {
    Remove(env, p.marker);
    Remove(env, p.file);
    CountPiece(g, true);
    if (line.size() > 5) TraiteListe(g, line.substr(5));
    return Outcome::kHandled;
  }

  const size_t data_at = line.find("&data=");
  if (data_at == std::string_view::npos) return SetAsideNow(g, p, W("pièce sans données"));
  const std::string_view header = line.substr(0, data_at);

  std::string path, extension, encoding;
  if (HeaderValue(header, "path=", &path)) path = DecodeBrackets(path);
  if (HeaderValue(header, "extension=", &extension)) extension = DecodeBrackets(extension);
  HeaderValue(header, "encoding=", &encoding);
  int64_t idexamen, offset, length, totallength;
  if (!HeaderNumber(header, "idexamen=", 0, &idexamen) ||
      !HeaderNumber(header, "offset=", 0, &offset) ||
      !HeaderNumber(header, "length=", 0, &length) ||
      !HeaderNumber(header, "totallength=", -1, &totallength))
    return SetAsideNow(g, p, W("nombre hors limites"));
  // The extension becomes part of a file name.
  if (!IsValidExtension(extension)) return SetAsideNow(g, p, W("extension refusée"));

  if (!InPass(extension, extaimed)) return Outcome::kLeft;

  auto decode = [&] {
    const size_t payload = data_at + 6;
    return encoding == "base64" ? DecodeBase64Payload(line, payload, length)
                                : DecodeHexPayload(line, payload);
  };
  const bool several = totallength != -1;
  const bool text = hasAccentsToConvert(extension);
  const std::string name = DocumentFileName(Dec(idexamen), extension);
  const std::string final_path = g.Tasks(name);
  const std::string doc = several ? g.Spool("temp/" + name) : final_path;
  p.doc = doc;
  p.offset = offset;
  if (scan.unsynced.count(doc)) return Outcome::kLeft;
  // The folder of the document is made when a document begins (a later piece finds it
  // there, or waits); the tasks folder also before a completion copy.
  // Without it the write below fails and reports.
  if (offset == 0) IgnoreFailure(env.CreateFolder(several ? g.Spool("temp") : g.TasksFolder));
  // A piece whose bytes are already where they belong, on the disk: its files go now.
  auto gone = [&] {
    Remove(env, p.marker);
    Remove(env, p.file);
    CountPiece(g, length != 10240);
    return Outcome::kHandled;
  };

  // The leftover of a document already complete in the tasks folder (stopped after the
  // completion, before the pieces of its pass went), its first piece included: taken as
  // done rather than beginning the document again without the pieces already gone.
  if (offset == 0 && several && !text &&
      AlreadyInCompleteDocument(env, doc, final_path, offset, totallength, decode())) {
    Check(env.SyncFile(final_path));
    return gone();
  }

  // Offset gate: a piece waits until the pieces before it are in. Two exceptions: the
  // last piece of a document that is complete in "temp" (its completion copy failed on
  // an earlier tick and is tried again), and a piece whose range the document ends
  // inside (its write was cut short by a stop, and it is written again).
  if (offset != 0) {
    int64_t size = scan.held.Size(env, doc);
    if (size != offset) {
      // Handled by its path from here on.
      Check(scan.held.Release());
      if (RestoreRollbackCopy(env, doc)) size = SizeOf(env, doc);
    }
    if (size != offset) {
      if (several && size == offset + length && size == totallength) {
        IgnoreFailure(env.CreateFolder(g.TasksFolder));  // the completion copy reports
        Complete(g, doc, final_path, text);
        DropFlushed(env, scan, doc);
        return gone();
      }
      if (size < offset || size >= offset + length) {
        if (several && !text && size == 0 &&
            AlreadyInCompleteDocument(env, doc, final_path, offset, totallength, decode())) {
          Check(env.SyncFile(final_path));
          return gone();
        }
        return Wait(scan, p, W("pièce hors séquence"));
      }
    }
  }

  std::string bytes = decode();
  const int64_t decoded = static_cast<int64_t>(bytes.size());
  // A text document in one piece is converted here; one in several pieces is assembled
  // as it came and converted whole when complete.
  const bool converted = text && !several;
  if (converted) bytes = ConvertUtf8To1252(bytes);

  // A document begins afresh by its path; later pieces go through the document held.
  int64_t size = 0;
  if (offset == 0) {
    Check(scan.held.Release());
    Forget(scan, doc, 0);
    Remove(env, doc);
  }
  Status ws = offset == 0 ? env.WriteAt(doc, offset, bytes)
                          : scan.held.Write(env, doc, offset, bytes, &size);
  if (!ws.ok()) {
    // Leave the document as it was before the piece, so that the piece fits next time.
    // The write's own failure is raised below; a document left longer is found by the
    // offset gate next time.
    IgnoreFailure(scan.held.Release());  // the write's failure is the one reported
    Forget(scan, doc, offset);
    if (offset == 0)
      IgnoreFailure(env.DeleteFile(doc));
    else if (FileLen(env, doc) > offset)
      IgnoreFailure(env.Truncate(doc, offset));
    Check(ws);
  }

  if (offset == 0) size = SizeOf(env, doc);
  const bool fits = converted ? decoded == length : size == offset + length;
  if (!fits) {
    Check(scan.held.Release());
    Forget(scan, doc, offset);
    RollBack(env, doc, offset);
    SetAside(g, p);
    size = SizeOf(env, doc);
  }

  if (several && size == totallength) {
    Check(scan.held.Release());
    IgnoreFailure(env.CreateFolder(g.TasksFolder));  // the completion copy reports
    Complete(g, doc, final_path, text);
    // Flushed whole before it left "temp": its pieces go now.
    DropFlushed(env, scan, doc);
    if (fits) {
      Remove(env, p.marker);
      Remove(env, p.file);
    }
  } else if (fits) {
    // Its files go once the document is flushed (FlushPass).
    scan.unflushed[doc].push_back(p);
    if (offset == 0) scan.begun_in.insert(DossierParent(doc));
  }
  CountPiece(g, length != 10240);
  return Outcome::kHandled;
}

// Takes one piece in one pass; its failure handler logs the failure and leaves the
// piece for the next tick, unless the failure is one that cannot pass: the piece is
// then set aside, so that it is neither tried nor logged again every second.
Outcome TraitePiece(Guichet& g, const std::string& rdyfilename, const std::string& extaimed,
                    Scan& scan) {
  Piece p = MakePiece(g, rdyfilename);
  try {
    return Traite(g, p, extaimed, scan);
  } catch (const std::exception& e) {
    // The document is looked at afresh by its path, whatever the failure left.
    const Status closed = scan.held.Release();
    if (!closed.ok()) g.EcritLog("Guichet - ReperePost : " + closed.Description());
    g.SetLabel(Label::kProgression1, "");
    const std::string description = DescriptionOf(e);
    // The same failure of the same piece, again and again, is logged once.
    auto same = [&](const std::map<std::string, std::string>& failed) {
      auto it = failed.find(p.rdyname);
      return it != failed.end() && it->second == description;
    };
    if (!same(scan.failed) && !same(g.PieceFailures))
      g.EcritLog("Guichet - TraiteRequete : " + description + " (" + p.marker + ")");
    scan.failed[p.rdyname] = description;
    if (CannotPass(e)) {
      try {
        return SetAsideNow(g, p, W("échec sans remède"));
      } catch (const std::exception&) {
        // Not even set aside: left, like any other failure.
      }
    }
    scan.Busy(p.doc);
    scan.waiting.erase(p.rdyname);
    return Outcome::kLeft;
  }
}

// At the end of a scan, sets aside the pieces still waiting that were first seen
// waiting more than the allowed time ago, on the steady clock; a change of the time of
// day or a stop of Guichet does not shorten a wait. Returns the number set aside.
int32_t SetAsideWaiting(Guichet& g, const Scan& scan) {
  const int64_t now = g.env.SteadyMillis();
  std::map<std::string, int64_t> still;
  int32_t n = 0;
  for (const auto& [name, why] : scan.waiting) {
    auto it = g.PieceWaitSince.find(name);
    const int64_t since = it == g.PieceWaitSince.end() ? now : it->second;
    Piece p = MakePiece(g, name);
    if (!g.env.FileExists(p.marker)) continue;  // gone meanwhile
    if (now - since > kPieceWaitSeconds * 1000) {
      try {
        SetAsideNow(g, p, why);
        ++n;
        continue;
      } catch (const std::exception& e) {
        // Logged, and tried again after another wait rather than on every tick.
        g.EcritLog("Guichet - TraiteRequete : " + DescriptionOf(e) + " (" + p.marker + ")");
        still[name] = now;
        continue;
      }
    }
    still[name] = since;
  }
  g.PieceWaitSince.swap(still);
  return n;
}

// Documents in "temp" that no piece in "post" goes into and that have not changed for
// as long as a piece may wait (their last pieces are not coming, or their
// "totallength=" is never reached) are set aside in "post_err" under the time prefix,
// with a log line. Returns the number set aside.
int32_t SetAsideStalledDocuments(Guichet& g, const Scan& scan) {
  const std::string temp = g.Spool("temp");
  std::vector<std::string> names;
  if (!g.env.FolderExists(temp)) {
    g.DocWaitSince.clear();
    return 0;
  }
  // The pieces' own failures are logged; this look at "temp" only adds to them.
  if (!g.env.ListFiles(temp, DocumentsPattern(), &names).ok()) return 0;
  const int64_t now = g.env.SteadyMillis();
  std::map<std::string, std::pair<int64_t, int64_t>> seen;
  std::set<std::string> listed;
  for (const std::string& name : names) listed.insert(ToUpper(name));
  int32_t n = 0;
  for (const std::string& name : names) {
    const std::string doc = temp + "/" + name;
    // A rollback copy beside its document is a leftover (see RestoreRollbackCopy).
    const size_t tofix = ToUpper(name).rfind(".TOFIX");
    if (tofix != std::string::npos && tofix + 6 == name.size() &&
        listed.count(ToUpper(name.substr(0, tofix))) && g.env.DeleteFile(doc).ok())
      continue;
    FileInfo info;
    if (!g.env.GetFileInfo(doc, &info).ok()) continue;
    auto it = g.DocWaitSince.find(name);
    if (it == g.DocWaitSince.end() || it->second.first != info.size) {
      seen[name] = {info.size, now};
      continue;
    }
    const int64_t since = it->second.second;
    if (now - since <= kPieceWaitSeconds * 1000 || scan.busy_docs.count(ToUpper(name))) {
      seen[name] = it->second;
      continue;
    }
    const std::string err = g.Spool("post_err");
    IgnoreFailure(g.env.CreateFolder(err));  // the rename below fails and is logged
    Status s = g.env.RenameFile(doc, err + "/" + Format(g.env.Now(), "yyyymmddhhnn") + "_" + name);
    if (!s.ok()) {
      // Logged, and tried again after another wait rather than on every tick.
      g.EcritLog("Guichet - ReperePost : " + s.Description() + " (" + doc + ")");
      seen[name] = {info.size, now};
      continue;
    }
    g.EcritLog(W("Guichet - ReperePost : document incomplet mis de côté (") + doc + ")");
    ++n;
  }
  g.DocWaitSince.swap(seen);
  return n;
}

// The end of a pass: flushes every document that pieces of the pass went into (and
// the folders where documents were begun), then removes those pieces. A document whose
// flush fails keeps its pieces in "post" and is brought back to where it stood before
// them, so that they fit again on the next tick: cut back in "temp", deleted from the
// tasks folder (where an empty or partial document must never be taken for a whole one).
// Returns the number of pieces kept.
int32_t FlushPass(Guichet& g, Scan& scan) {
  Env& env = g.env;
  std::map<std::string, Status> folders;
  for (const std::string& folder : scan.begun_in) folders[folder] = Status::Ok();
  scan.begun_in.clear();
  std::map<std::string, std::vector<Piece>> unflushed;
  unflushed.swap(scan.unflushed);
  // Every document is flushed before any folder, and the folders before any removal.
  std::map<std::string, Status> flushed;
  for (const auto& [doc, pieces] : unflushed) flushed[doc] = scan.held.Sync(env, doc);
  int32_t kept = 0;
  for (auto& [folder, s] : folders) s = env.SyncFolder(folder);
  for (auto& [doc, pieces] : unflushed) {
    Status s = flushed[doc];
    auto folder = folders.find(DossierParent(doc));
    if (s.ok() && folder != folders.end()) s = folder->second;
    try {
      if (s.ok()) {
        scan.unflushed[doc] = std::move(pieces);
        DropFlushed(env, scan, doc);
        continue;
      }
      g.EcritLog("Guichet - ReperePost : " + s.Description() + " (" + doc + ")");
      scan.Busy(doc);
      scan.unsynced.insert(doc);
      kept += static_cast<int32_t>(pieces.size());
      int64_t first = std::numeric_limits<int64_t>::max();
      for (const Piece& p : pieces) first = std::min(first, p.offset);
      Check(scan.held.Release());
      if (first == 0 || doc.rfind(g.Spool("temp/"), 0) != 0)
        Remove(env, doc);
      else if (SizeOf(env, doc) > first)
        Check(env.Truncate(doc, first));
    } catch (const std::exception& e) {
      // The pieces left are taken again next tick; the offset gate sorts them out.
      g.EcritLog("Guichet - ReperePost : " + DescriptionOf(e) + " (" + doc + ")");
      scan.Busy(doc);
    }
  }
  return kept;
}

// One walk over the pieces in `order` with one pass. Sets `done` when a piece was
// handled; returns false when the process is to end.
bool Walk(Guichet& g, const std::vector<std::string>& order, const char* pass, Scan& scan,
          int32_t* count, bool* done) {
  size_t left = order.size();
  int32_t handled = 0;
  for (const std::string& rdy : order) {
    if (TraitePiece(g, rdy, pass, scan) == Outcome::kHandled) {
      scan.waiting.erase(rdy);
      ++handled;
      --left;
    }
    g.ShowCount(left);
    g.DoEvents();
    if (g.ended) break;
  }
  // Pieces whose document could not be flushed are still there: not done.
  handled -= FlushPass(g, scan);
  *count += handled;
  if (handled > 0) *done = true;
  return !g.ended;
}

}  // namespace

std::vector<std::string> OrderPieces(const std::vector<std::string>& names) {
  // The number that begins each name without its ending, and the name's place in the
  // listing, which orders the names of one number.
  std::vector<std::pair<int64_t, size_t>> keyed;
  keyed.reserve(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    std::string_view base = names[i];
    if (base.size() >= 4) base.remove_suffix(4);
    keyed.emplace_back(LeadingNumber(base), i);
  }
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> order;
  order.reserve(keyed.size());
  for (const auto& k : keyed) order.push_back(names[k.second]);
  return order;
}

bool TraitePost(Guichet& g, const std::string& rdyfilename, const std::string& extaimed) {
  Scan scan;
  const bool handled = TraitePiece(g, rdyfilename, extaimed, scan) == Outcome::kHandled;
  const bool kept = FlushPass(g, scan) > 0;
  IgnoreFailure(scan.held.Release());  // nothing is written after the flush
  return handled && !kept;
}

int32_t ReperePost(Guichet& g) {
  int32_t count = 0;
  const std::string post = g.Spool("post");
  IgnoreFailure(g.env.CreateFolder(post));  // a missing folder lists no piece
  try {
    Scan scan;
    std::vector<std::string> order;
    for (;;) {
      std::vector<std::string> names;
      Check(g.env.ListFiles(post, "*.rdy", &names));
      order = OrderPieces(names);
      g.ShowCount(order.size());
      g.DoEvents();
      if (g.ended) return count;
      bool done = false;
      if (!Walk(g, order, "high priority", scan, &count, &done)) return count;
      if (done) continue;
      if (!Walk(g, order, "urg", scan, &count, &done)) return count;
      if (done) continue;
      break;
    }
    bool done = false;
    if (!Walk(g, order, "pid", scan, &count, &done)) return count;
    // Every document is let go before the looks at "temp" below, and between ticks.
    Check(scan.held.Release());
    // Only now, with every pass and restart behind, is a waiting piece known to wait.
    for (const auto& [name, why] : scan.waiting) scan.failed.erase(name);
    g.PieceFailures.swap(scan.failed);
    count += SetAsideWaiting(g, scan);
    count += SetAsideStalledDocuments(g, scan);
    g.SetLabel(Label::kProgression1, "");
    return count;
  } catch (const std::exception& e) {
    const std::string description = DescriptionOf(e);
    ++count;
    if (IsFatalFailure(e)) {
      FatalPath(g, "ReVault.exe", false);
      return count;
    }
    g.EcritLog("Guichet - ReperePost : " + description);
    return count;
  }
}

}  // namespace guichet
