// The one seam between Guichet and the operating system: files, folders, the clock,
// processes. Code receives an Env and never calls the OS directly, so tests can wrap the
// real one (a clock they set, a call that fails) while still using the real file system.
//
// Paths use "/" and keep their ".." segments. Names are matched without regard to case,
// as on the file system Guichet was designed for: every call tries the exact path first and
// only on a miss looks for an existing name that differs in case (Windows-1252 folding).
// Files are opened close-on-exec, without following links (the administrator's own files
// excepted) and without blocking; only regular files are read or written.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/datetime.h"

namespace guichet {

// The outcome of a call into the OS: a kind, the path involved and a short French
// description, the text that log lines and error pages carry.
class [[nodiscard]] Status {
 public:
  enum Kind {
    kOk = 0,
    kNotFound,      // "Fichier introuvable"
    kPathNotFound,  // "Chemin d'accès introuvable"
    kDenied,        // "Permission refusée"
    kDiskFull,      // "Disque plein"
    kBadHandle,     // "Nom ou numéro de fichier incorrect" (EBADF, EMFILE, ENFILE)
    kExists,        // "Le fichier existe déjà"
    kNotRegular,    // "Type de fichier incorrect"
    kTooLarge,      // "Fichier trop volumineux"
    kIo,            // "Erreur d'entrée/sortie sur fichier"
  };

  Status() = default;
  Status(Kind kind, std::string path) : kind_(kind), path_(std::move(path)) {}
  static Status Ok() { return Status(); }
  static Status FromErrno(int err, std::string path);

  bool ok() const { return kind_ == kOk; }
  Kind kind() const { return kind_; }
  const std::string& path() const { return path_; }
  // The French description of the kind (Windows-1252).
  std::string Description() const;

 private:
  Kind kind_ = kOk;
  std::string path_;
};

// Drops a failure that Guichet skips on purpose. Every call carries a comment saying
// what the skip protects: a step that must go on whatever happened (a tick that always
// ends, a log line that never disturbs its caller), or a later check that meets the same
// failure and reports it. Every other failure is handled or logged where it happens.
inline void IgnoreFailure(const Status& /*skipped*/) noexcept {}

// Runs one step whose failures Guichet skips on purpose, whatever they are, and returns
// whether it ran to its end. Every call carries a comment saying what the skip protects:
// the tick that always ends, the step that must follow, the later pass that finishes
// what this one left. A step that must report its failure catches it itself.
template <typename Step>
bool SkipOnFailure(Step&& step) noexcept {
  try {
    step();
    return true;
  } catch (...) {
    return false;
  }
}

// A failure raised inside an operation, caught by the operation's one failure handler
// (the dispatcher's error page, a pickup's log line). Carries the description that the
// handler logs and the source that start-up messages show; one raised from a Status also
// keeps its kind and path, so handlers tell failures apart by kind, never by their text.
class Failure : public std::runtime_error {
 public:
  explicit Failure(std::string description, std::string source = "Guichet")
      : std::runtime_error(description),
        description_(std::move(description)),
        source_(std::move(source)) {}
  explicit Failure(const Status& s) : Failure(s.Description()) {
    kind_ = s.kind();
    path_ = s.path();
  }
  const std::string& description() const { return description_; }
  const std::string& source() const { return source_; }
  Status::Kind kind() const { return kind_; }
  const std::string& path() const { return path_; }

 private:
  std::string description_;
  std::string source_;
  Status::Kind kind_ = Status::kIo;
  std::string path_;
};

// Throws Failure when the status is not ok.
void Check(const Status& s);

// The description a failure handler logs: a Failure's own, or the exception's text.
std::string DescriptionOf(const std::exception& e);

// The French text of the bad file name or number failure, fatal for both pickups.
std::string BadHandleDescription();

// An exclusive fcntl lock held on a file until destroyed.
class FileLock {
 public:
  virtual ~FileLock() = default;
  // The locked file's size, through the descriptor that holds the lock (-1 on failure).
  virtual int64_t Size() { return -1; }
  // Shortens the locked file in place. Emptying a shared file this way, rather than
  // deleting it, keeps the line of a writer that opened it and now waits for the lock.
  virtual Status Truncate(int64_t /*size*/) { return Status(Status::kIo, ""); }
};

// A regular file kept open for writes at byte offsets, across several writes: an upload
// whose pieces come one after another writes them without opening the document each
// time. Closed when destroyed; Close reports what the file system says on closing.
class OpenFile {
 public:
  virtual ~OpenFile() = default;
  // The file's size, through the open handle.
  virtual Status Size(int64_t* size) = 0;
  // The file's size, with one look that also makes sure the path it was opened by still
  // names it: kNotFound when the file was removed, renamed or replaced meanwhile (bytes
  // written through the handle would then not reach the path).
  virtual Status SizeAtPath(int64_t* size) = 0;
  // Writes at a byte offset without shortening the file.
  virtual Status WriteAt(int64_t offset, std::string_view data) = 0;
  // Flushes the bytes written so far, and the file's size, to the disk.
  virtual Status Sync() = 0;
  virtual Status Close() = 0;
};

// Notices of files that arrive in a few folders, from the system (inotify on Linux,
// ReadDirectoryChangesW on Windows): what lets Guichet answer between its ticks.
class FolderWatch {
 public:
  // What the notices taken say, the gravest first wins.
  enum Notices {
    kNone = 0,      // nothing matching arrived
    kArrivals = 1,  // at least one file matching its folder's pattern arrived
    kLost = 2,      // the system dropped notices (its queue overflowed): list again
    kBroken = 3,    // the watch no longer works (a folder went away, a read failed)
  };
  virtual ~FolderWatch() = default;
  // What a wait adds to what it waits for: a descriptor that becomes readable (POSIX),
  // an event that becomes signalled (Windows), while notices wait to be taken.
  virtual intptr_t WaitHandle() const = 0;
  // Takes every notice waiting, without blocking.
  virtual Notices Take() = 0;
};

// A folder to watch and the names in it that count as arrivals ("*" and "?", without
// regard to case).
struct WatchedFolder {
  std::string path;
  std::string pattern;
};

struct FileInfo {
  int64_t size = 0;
  DateTime modified;
};

// Puts a folder's names in the order every listing gives: by their upper-case form, then
// as they are. Shared by the platform layers.
void SortListing(std::vector<std::string>* names);

class Env {
 public:
  virtual ~Env() = default;

  // The current local time. Every clock read goes through here.
  virtual DateTime Now() = 0;
  // Milliseconds on a clock that only moves forward and ignores changes of the time of
  // day (summer time, a clock set by hand): for measuring how long something waited.
  virtual int64_t SteadyMillis() = 0;

  // Existence: a regular file (links are not followed), a folder.
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool FolderExists(const std::string& path) = 0;
  virtual Status GetFileInfo(const std::string& path, FileInfo* info) = 0;

  // Reads a whole regular file (refuses links, pipes and files over `max_bytes`).
  virtual Status ReadFile(const std::string& path, std::string* data,
                          int64_t max_bytes = int64_t{1} << 34) = 0;
  // Reads up to `count` bytes of a regular file from `offset` (fewer at its end).
  virtual Status ReadAt(const std::string& path, int64_t offset, size_t count,
                        std::string* data) = 0;
  // Creates or replaces the file with `data`.
  virtual Status WriteFile(const std::string& path, std::string_view data) = 0;
  // Writes a temporary file "~" + name + suffix in the same folder, then renames it over
  // the target: a reader sees the old file or the whole new one, never a part.
  virtual Status WriteFileAtomic(const std::string& path, std::string_view data) = 0;
  // The same for a file that holds secrets (session tokens): a new file is readable by
  // its owner only.
  virtual Status WriteSecretFileAtomic(const std::string& path, std::string_view data) = 0;
  // Appends, creating the file when missing.
  virtual Status AppendFile(const std::string& path, std::string_view data) = 0;
  // Appends one line (`line` holds its CR LF) to a file that holds secrets (a new file is
  // readable by its owner only) and flushes it to the disk before returning, so that a
  // crash or a power cut after the call keeps the line. A last line left without its end
  // (a write cut short by a power cut) is ended with CR LF first, so the two never run
  // together. The line is added by one write: a kill leaves it whole or absent.
  virtual Status AppendSecretLineSynced(const std::string& path, std::string_view line) {
    return AppendFile(path, line);
  }
  // Appends under an exclusive fcntl lock from byte 0 for size + 1 bytes (the day log).
  virtual Status AppendFileLocked(const std::string& path, std::string_view data) = 0;
  // Writes at a byte offset without shortening the file (created when missing).
  virtual Status WriteAt(const std::string& path, int64_t offset, std::string_view data) = 0;
  // Opens an existing regular file for WriteAt and Size through one handle (a missing
  // file is not created).
  virtual Status OpenForWriteAt(const std::string& path, std::unique_ptr<OpenFile>* file) = 0;
  virtual Status Truncate(const std::string& path, int64_t size) = 0;
  // Copies a regular file, replacing the target; the copy keeps the source's
  // modification time. Written through a temporary name and a rename.
  virtual Status CopyFile(const std::string& from, const std::string& to) = 0;
  // WriteFileAtomic, WriteSecretFileAtomic and CopyFile flush the new file to the disk
  // before its rename and the folder after it, so that a power cut leaves the old file or
  // the whole new one. A failure to flush the folder is reported although the new file
  // is already in place. These two skip the flushes (each costs a disk round trip), for
  // files that are made again when lost: cache copies, ready markers. A reader still
  // never sees a part. Unless a wrapper forwards them, they reach the flushed forms
  // through the wrapper, and so any failure it injects there.
  virtual Status WriteFileAtomicUnsynced(const std::string& path, std::string_view data) {
    return WriteFileAtomic(path, data);
  }
  virtual Status CopyFileUnsynced(const std::string& from, const std::string& to) {
    return CopyFile(from, to);
  }
  // Flushes an existing regular file's bytes and size to the disk: after a power cut
  // it holds at least what it held at the call.
  virtual Status SyncFile(const std::string& path) = 0;
  // Flushes a folder's names to the disk, so that a file created in it, renamed into it
  // or out of it, keeps that name after a power cut. On Windows, where every rename and
  // creation of Guichet is written through, there is nothing left to flush.
  virtual Status SyncFolder(const std::string& path) = 0;
  virtual Status DeleteFile(const std::string& path) = 0;
  virtual Status RenameFile(const std::string& from, const std::string& to) = 0;
  // Creates one folder; an existing folder is an error of kind kExists.
  virtual Status CreateFolder(const std::string& path) = 0;
  virtual Status SetModified(const std::string& path, const DateTime& t) = 0;

  // Plain files of `folder` whose names match `pattern` ("*" and "?", without regard to
  // case), in the order of the original file system: by name folded to upper case, then
  // by exact name. Hidden names (".x") and names the original file system cannot hold
  // are left out.
  virtual Status ListFiles(const std::string& folder, std::string_view pattern,
                           std::vector<std::string>* names) = 0;
  // Sub-folders of `folder` (not hidden), in the same order.
  virtual Status ListFolders(const std::string& folder, std::vector<std::string>* names) = 0;
  // Every regular file of `folder`, hidden names and names no listing shows included, in
  // no particular order: the purges must see what crashed writers leave behind.
  virtual Status ListAllFiles(const std::string& folder, std::vector<std::string>* names) = 0;
  // The same files with their modification times (seconds since the epoch), oldest
  // first, until `visit` returns false. What was learnt is kept between calls and only
  // what changed in the folder is asked again, so a time may be older than the file's own
  // (a file written in place since) but a file that appeared in the folder, created or
  // renamed in, is seen with its own: a caller confirms a time before acting on it.
  virtual Status VisitFileTimes(const std::string& folder,
                                const std::function<bool(const std::string&, int64_t)>& visit) = 0;

  // A number that changes whenever what the file layer kept of `folder` may have
  // changed: it was scanned again (the folder's time moved, or it changed too recently
  // for the time to tell) or Guichet changed it. A caller that derives something from
  // the folder's listings keeps it while the number stays the same, at the cost of one
  // stat. 0 means unknown (a folder that cannot be read, a layer that keeps nothing):
  // list again.
  virtual uint64_t FolderGeneration(const std::string& /*folder*/) { return 0; }

  // Watches `folders` for files created, written or renamed into them. Fails (and the
  // caller keeps to its own listings) where the system gives no notices: a layer
  // without them, a network file system whose other clients' writes are never noticed,
  // a folder that cannot be watched.
  virtual Status WatchFolders(const std::vector<WatchedFolder>& folders,
                              std::unique_ptr<FolderWatch>* watch) {
    (void)folders;
    watch->reset();
    return Status(Status::kIo, "");
  }

  // The spool's answers. Written under the exact name given, never onto an existing name
  // that differs only in case (one client's answer must never land on another's); a new
  // file is readable by its owner and its group only. `append` adds to the file instead
  // of replacing it.
  virtual Status WriteAnswer(const std::string& path, std::string_view data, bool append) = 0;
  // The same through a temporary name and a rename, so the file appears whole (the ready
  // marker).
  virtual Status WriteAnswerAtomic(const std::string& path, std::string_view data) = 0;

  // The administrator's own files (the users file, page templates, catalogues and the
  // files of their template folders) may be symbolic links, and these calls follow them.
  // Every other call refuses links.
  virtual Status GetAdminFileInfo(const std::string& path, FileInfo* info) = 0;
  virtual Status ReadAdminFile(const std::string& path, std::string* data,
                               int64_t max_bytes = int64_t{1} << 34) = 0;
  virtual Status ListAdminFiles(const std::string& folder, std::string_view pattern,
                                std::vector<std::string>* names) = 0;
  // Copies an administrator's file (followed when a link) to a target that is not.
  virtual Status CopyAdminFile(const std::string& from, const std::string& to) = 0;

  // An exclusive fcntl lock on an existing file, waiting until granted. Null on failure.
  virtual std::unique_ptr<FileLock> LockFile(const std::string& path) = 0;
  // An exclusive fcntl lock on the whole of an existing regular file that others share,
  // waiting at most `wait_ms` for it (0: not at all). The file is opened without
  // following a link or blocking. Null when it is missing, not a regular file, or the
  // lock was not granted in time.
  virtual std::unique_ptr<FileLock> TryLockFile(const std::string& path, int wait_ms) = 0;
  // Appends one line (`line` holds its CR LF) to a file that others share, under an
  // exclusive fcntl lock on the whole file, waiting at most `wait_ms` for it; creates
  // the file when missing. Opens without following a link or blocking and refuses
  // anything but a regular file. A last line left without its end by another writer
  // is ended with CR LF first, so the two never run together. A lock not granted in
  // time fails with kDenied, as a sharing conflict does.
  virtual Status AppendLineLocked(const std::string& path, std::string_view line, int wait_ms) = 0;

  virtual Status ChangeDir(const std::string& path) = 0;
  // Starts a program detached: new session, no terminal, standard streams on /dev/null.
  virtual Status StartDetached(const std::string& path) = 0;
  // Closes the descriptor kept in reserve, so that the fatal path can still open files.
  virtual void ReleaseReserve() = 0;

  virtual std::string HostName() = 0;
  virtual std::string ExecutablePath() = 0;
  // Whether the path resolves to an existing file or folder, exact or differing in case,
  // and its real spelling.
  virtual std::string Resolve(const std::string& path) = 0;

  // The real environment of this machine.
  static Env* Default();
};

// Forwards every call to another Env; tests derive from it to change one thing.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  DateTime Now() override { return target_->Now(); }
  int64_t SteadyMillis() override { return target_->SteadyMillis(); }
  bool FileExists(const std::string& p) override { return target_->FileExists(p); }
  bool FolderExists(const std::string& p) override { return target_->FolderExists(p); }
  Status GetFileInfo(const std::string& p, FileInfo* i) override {
    return target_->GetFileInfo(p, i);
  }
  Status ReadFile(const std::string& p, std::string* d, int64_t m) override {
    return target_->ReadFile(p, d, m);
  }
  Status ReadAt(const std::string& p, int64_t o, size_t n, std::string* d) override {
    return target_->ReadAt(p, o, n, d);
  }
  Status WriteFile(const std::string& p, std::string_view d) override {
    return target_->WriteFile(p, d);
  }
  Status WriteFileAtomic(const std::string& p, std::string_view d) override {
    return target_->WriteFileAtomic(p, d);
  }
  Status WriteSecretFileAtomic(const std::string& p, std::string_view d) override {
    return target_->WriteSecretFileAtomic(p, d);
  }
  Status AppendFile(const std::string& p, std::string_view d) override {
    return target_->AppendFile(p, d);
  }
  Status AppendFileLocked(const std::string& p, std::string_view d) override {
    return target_->AppendFileLocked(p, d);
  }
  Status AppendSecretLineSynced(const std::string& p, std::string_view l) override {
    return target_->AppendSecretLineSynced(p, l);
  }
  Status WriteAt(const std::string& p, int64_t o, std::string_view d) override {
    return target_->WriteAt(p, o, d);
  }
  Status OpenForWriteAt(const std::string& p, std::unique_ptr<OpenFile>* f) override {
    return target_->OpenForWriteAt(p, f);
  }
  Status Truncate(const std::string& p, int64_t s) override { return target_->Truncate(p, s); }
  Status CopyFile(const std::string& f, const std::string& t) override {
    return target_->CopyFile(f, t);
  }
  Status SyncFile(const std::string& p) override { return target_->SyncFile(p); }
  Status SyncFolder(const std::string& p) override { return target_->SyncFolder(p); }
  Status DeleteFile(const std::string& p) override { return target_->DeleteFile(p); }
  Status RenameFile(const std::string& f, const std::string& t) override {
    return target_->RenameFile(f, t);
  }
  Status CreateFolder(const std::string& p) override { return target_->CreateFolder(p); }
  Status SetModified(const std::string& p, const DateTime& t) override {
    return target_->SetModified(p, t);
  }
  Status ListFiles(const std::string& f, std::string_view pat,
                   std::vector<std::string>* n) override {
    return target_->ListFiles(f, pat, n);
  }
  Status ListFolders(const std::string& f, std::vector<std::string>* n) override {
    return target_->ListFolders(f, n);
  }
  Status ListAllFiles(const std::string& f, std::vector<std::string>* n) override {
    return target_->ListAllFiles(f, n);
  }
  Status VisitFileTimes(const std::string& f,
                        const std::function<bool(const std::string&, int64_t)>& v) override {
    return target_->VisitFileTimes(f, v);
  }
  uint64_t FolderGeneration(const std::string& f) override { return target_->FolderGeneration(f); }
  Status WatchFolders(const std::vector<WatchedFolder>& f,
                      std::unique_ptr<FolderWatch>* w) override {
    return target_->WatchFolders(f, w);
  }
  Status WriteAnswer(const std::string& p, std::string_view d, bool append) override {
    return target_->WriteAnswer(p, d, append);
  }
  Status WriteAnswerAtomic(const std::string& p, std::string_view d) override {
    return target_->WriteAnswerAtomic(p, d);
  }
  Status GetAdminFileInfo(const std::string& p, FileInfo* i) override {
    return target_->GetAdminFileInfo(p, i);
  }
  Status ReadAdminFile(const std::string& p, std::string* d, int64_t m) override {
    return target_->ReadAdminFile(p, d, m);
  }
  Status ListAdminFiles(const std::string& f, std::string_view pat,
                        std::vector<std::string>* n) override {
    return target_->ListAdminFiles(f, pat, n);
  }
  Status CopyAdminFile(const std::string& f, const std::string& t) override {
    return target_->CopyAdminFile(f, t);
  }
  std::unique_ptr<FileLock> LockFile(const std::string& p) override { return target_->LockFile(p); }
  std::unique_ptr<FileLock> TryLockFile(const std::string& p, int w) override {
    return target_->TryLockFile(p, w);
  }
  Status AppendLineLocked(const std::string& p, std::string_view l, int w) override {
    return target_->AppendLineLocked(p, l, w);
  }
  Status ChangeDir(const std::string& p) override { return target_->ChangeDir(p); }
  Status StartDetached(const std::string& p) override { return target_->StartDetached(p); }
  void ReleaseReserve() override { target_->ReleaseReserve(); }
  std::string HostName() override { return target_->HostName(); }
  std::string ExecutablePath() override { return target_->ExecutablePath(); }
  std::string Resolve(const std::string& p) override { return target_->Resolve(p); }

 private:
  Env* target_;
};

// Text-file helpers over an Env, in Windows-1252 with CR or CR LF line ends.

// Splits file content into lines: a line ends at CR, LF or CR LF; a last line without
// an end counts; an empty content has no line.
std::vector<std::string> SplitLines(std::string_view content);
// Reads the lines of a text file.
Status ReadLines(Env& env, const std::string& path, std::vector<std::string>* lines);
// The same for an administrator's file (followed when it is a link).
Status ReadAdminLines(Env& env, const std::string& path, std::vector<std::string>* lines);
// Whether an administrator's file exists as a regular file, a link to one included.
bool AdminFileExists(Env& env, const std::string& path);
// The first line of a text file ("" for an empty file).
Status ReadFirstLine(Env& env, const std::string& path, std::string* line);
// Joins lines, each followed by CR LF.
std::string JoinLines(const std::vector<std::string>& lines);
// Size of a file, or 0 when it is missing or cannot be read.
int64_t FileLen(Env& env, const std::string& path);

// True when `name` matches a listing pattern of "*" and "?" without regard to case.
bool MatchesListPattern(std::string_view name, std::string_view pattern);

// True for the temporary names of the atomic writes ("~" + name + "." + process + "."
// + count), which a kill can leave behind.
bool IsTempName(std::string_view name);

}  // namespace guichet
