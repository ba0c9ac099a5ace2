#include "runner.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "batch_file.h"
#include "support/text.h"

namespace guichet::batch {
namespace {

std::string Join(const std::vector<std::string>& parts) {
  std::string s;
  for (const std::string& p : parts) s += (s.empty() ? "" : "\\") + p;
  return s;
}

// The folded form a folder path is known by, as Windows compares names.
std::string Key(const std::vector<std::string>& parts) { return ToUpper(Join(parts)); }

// Finds `name` in `dir`: the exact spelling first, then one that differs only in case
// (the smallest, when several do). False when there is none.
bool Find(Tree& tree, Folder& dir, const std::string& name, std::string* real, EntryKind* kind,
          TreeStatus* failure) {
  TreeStatus s = tree.Kind(dir, name, kind);
  if (s.ok()) {
    *real = name;
    return true;
  }
  if (s.code != TreeStatus::kMissing) {
    *failure = s;
    return false;
  }
  std::vector<Entry> entries;
  s = tree.List(dir, &entries);
  if (!s.ok()) {
    *failure = s;
    return false;
  }
  bool found = false;
  for (const Entry& e : entries) {
    if (!EqualsNoCase(e.name, name) || (found && e.name > *real)) continue;
    *real = e.name;
    *kind = e.kind;
    found = true;
  }
  return found;
}

const char* KindText(EntryKind k) {
  switch (k) {
    case EntryKind::kLink:
      return "a link";
    case EntryKind::kFolder:
      return "a folder";
    case EntryKind::kFile:
      return "a file";
    default:
      return "a special file";
  }
}

// One step of the plan: a folder to make, or a file to move into a folder.
struct Step {
  bool mkdir = false;
  std::vector<std::string> folder;  // below the site's root
  std::string name;                 // the file moved
  int line = 0;
};

class Run {
 public:
  Run(Tree& tree, const BatchLocation& where) : tree_(tree), where_(where) {}

  Outcome Go() {
    TreeStatus s = tree_.OpenRoot(where_.site, &root_);
    if (!s.ok()) return Fail(Outcome::kFailed, "cannot open the site: " + s.text);
    std::unique_ptr<Folder> here;
    std::string why;
    bool missing = false;
    if (!Open(where_.folders, &here, &missing, &why)) return Fail(Outcome::kRefused, why);
    here_ = std::move(here);
    std::string content;
    s = tree_.ReadFile(*here_, where_.name, kMaxBatchFileBytes, &content);
    if (s.code == TreeStatus::kLink || s.code == TreeStatus::kNotFile)
      return Fail(Outcome::kRefused, "the batch file is not a regular file (" + s.text + ")");
    if (s.code == TreeStatus::kTooLarge) return Fail(Outcome::kRefused, "file larger than 64 KiB");
    if (s.code == TreeStatus::kMissing) return Fail(Outcome::kRefused, "no such batch file");
    if (!s.ok()) return Fail(Outcome::kFailed, "cannot read it: " + s.text);

    std::vector<BatchCommand> commands;
    BatchError error;
    if (!ParseBatchFile(content, &commands, &error))
      return Fail(Outcome::kRefused, LinePrefix(error.line) + error.reason);
    if (!Plan(commands, &why)) return Fail(Outcome::kRefused, why);
    return Execute();
  }

 private:
  Outcome Fail(Outcome::Code code, const std::string& message) {
    Outcome o;
    o.code = code;
    o.message = message;
    o.moved = moved_;
    return o;
  }

  static std::string LinePrefix(int line) {
    return line > 0 ? "line " + std::to_string(line) + ": " : "";
  }

  // Opens a folder below the site's root, part by part, each found without regard to case
  // and never through a link. False with why; *missing when a part does not exist (the
  // parts before it were all folders).
  bool Open(const std::vector<std::string>& parts, std::unique_ptr<Folder>* out, bool* missing,
            std::string* why, bool create = false) {
    *missing = false;
    std::unique_ptr<Folder> dir;
    Folder* at = root_.get();
    std::vector<std::string> done;
    for (const std::string& part : parts) {
      std::string real;
      EntryKind kind = EntryKind::kOther;
      TreeStatus failure;
      const std::string where = "\"" + Join(done) + (done.empty() ? "" : "\\") + part + "\"";
      if (!Find(tree_, *at, part, &real, &kind, &failure)) {
        if (!failure.ok()) {
          *why = "cannot look at " + where + ": " + failure.text;
          return false;
        }
        if (!create) {
          *missing = true;
          *why = where + " does not exist";
          return false;
        }
        TreeStatus s = tree_.MakeFolder(*at, part);
        // Made meanwhile by someone else: the open below judges what is there.
        if (!s.ok() && s.code != TreeStatus::kFailed) {
          *why = "cannot make " + where + ": " + s.text;
          return false;
        }
        real = part;
        kind = EntryKind::kFolder;
      }
      if (kind != EntryKind::kFolder) {
        *why = where + " is " + KindText(kind) + ", not a folder";
        return false;
      }
      std::unique_ptr<Folder> next;
      TreeStatus s = tree_.OpenFolder(*at, real, &next);
      if (!s.ok()) {
        *why = "cannot open " + where + ": " + s.text;
        return false;
      }
      dir = std::move(next);
      at = dir.get();
      done.push_back(real);
    }
    if (dir == nullptr) {
      // The root itself: opened again, so the caller owns its own handle.
      if (TreeStatus s = tree_.OpenRoot(where_.site, &dir); !s.ok()) {
        *why = "cannot open the site: " + s.text;
        return false;
      }
    }
    *out = std::move(dir);
    return true;
  }

  // The folder a command names: the batch file's folder, then each part of its path.
  bool Target(const BatchCommand& c, std::vector<std::string>* folder, std::string* why) {
    *folder = where_.folders;
    for (const std::string& part : c.path) {
      if (part != "..") {
        folder->push_back(part);
      } else if (folder->empty()) {
        *why = LinePrefix(c.line) + "\"" + Join(c.path) + "\" leaves the site";
        return false;
      } else {
        folder->pop_back();
      }
    }
    return true;
  }

  // Checks every command against what is there, and lists the steps.
  bool Plan(const std::vector<BatchCommand>& commands, std::string* why) {
    std::vector<Entry> entries;
    if (TreeStatus s = tree_.List(*here_, &entries); !s.ok()) {
      *why = "cannot list the batch file's folder: " + s.text;
      return false;
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    std::set<std::string> made;    // folders the file makes, by key
    std::set<std::string> gone;    // names moved by an earlier command
    std::set<std::string> placed;  // files the moves put in place, by key
    const std::string here_key = Key(where_.folders);
    for (const BatchCommand& c : commands) {
      const std::string at = LinePrefix(c.line);
      std::vector<std::string> folder;
      if (!Target(c, &folder, why)) return false;
      std::unique_ptr<Folder> dir;
      bool missing = false;
      std::string open_why;
      const bool exists = Open(folder, &dir, &missing, &open_why);
      if (!exists && !missing) {
        *why = at + open_why;
        return false;
      }
      if (c.kind == BatchCommand::kMkdir) {
        for (size_t n = 1; n <= folder.size(); ++n) {
          const std::string key = Key(std::vector<std::string>(folder.begin(), folder.begin() + n));
          if (placed.count(key)) {
            *why = at + "makes a folder where an earlier line moves a file";
            return false;
          }
          made.insert(key);
        }
        steps_.push_back({true, folder, "", c.line});
        continue;
      }
      if (!exists && made.count(Key(folder)) == 0) {
        *why = at + "moves into " + open_why + " and no earlier line makes it";
        return false;
      }
      if (Key(folder) == here_key) {
        *why = at + "moves files into their own folder";
        return false;
      }
      std::set<std::string> seen;
      for (const Entry& e : entries) {
        if (!MatchesPattern(e.name, c.number, c.extension) || gone.count(e.name)) continue;
        std::string name_why;
        if (e.kind != EntryKind::kFile) {
          *why = at + "\"" + e.name + "\" is " + KindText(e.kind) + ", not a file";
          return false;
        }
        if (!IsHoldableName(e.name, &name_why)) {
          *why = at + "file \"" + e.name + "\": " + name_why;
          return false;
        }
        const std::string key = Key(folder) + "\\" + ToUpper(e.name);
        if (made.count(key)) {
          *why = at + "an earlier line makes a folder where \"" + e.name + "\" goes";
          return false;
        }
        placed.insert(key);
        if (!seen.insert(ToUpper(e.name)).second) {
          *why = at + "two files named \"" + e.name + "\" but for case";
          return false;
        }
        if (exists) {
          std::string real;
          EntryKind kind;
          TreeStatus failure;
          if (Find(tree_, *dir, e.name, &real, &kind, &failure) && kind != EntryKind::kFile) {
            *why = at + "\"" + Join(folder) + "\\" + real + "\" is " + KindText(kind) +
                   ", and a moved file would replace it";
            return false;
          }
          if (!failure.ok()) {
            *why = at + "cannot look into \"" + Join(folder) + "\": " + failure.text;
            return false;
          }
        }
        if (e.name == where_.name) {
          last_ = {false, folder, e.name, c.line};  // the batch file moves last
        } else {
          steps_.push_back({false, folder, e.name, c.line});
        }
        gone.insert(e.name);
      }
    }
    return true;
  }

  Outcome Execute() {
    std::vector<Step> all = steps_;
    if (!last_.name.empty()) all.push_back(last_);
    std::map<std::string, std::unique_ptr<Folder>> touched;
    for (size_t i = 0; i < all.size(); ++i) {
      const Step& step = all[i];
      const std::string at = LinePrefix(step.line);
      std::unique_ptr<Folder> dir;
      bool missing = false;
      std::string why;
      if (!Open(step.folder, &dir, &missing, &why, step.mkdir))
        return Fail(Outcome::kFailed, at + why);
      if (step.mkdir) continue;
      if (i + 1 == all.size() && !last_.name.empty()) {
        // Before the batch file goes, the moves it made are on the disk.
        for (auto& [key, folder] : touched)
          if (TreeStatus s = tree_.Sync(*folder); !s.ok())
            return Fail(Outcome::kFailed, "cannot flush a folder: " + s.text);
        if (TreeStatus s = tree_.Sync(*here_); !s.ok())
          return Fail(Outcome::kFailed, "cannot flush a folder: " + s.text);
      }
      if (TreeStatus s = Move(step.name, *dir); !s.ok()) {
        if (s.code == TreeStatus::kMissing) continue;  // moved meanwhile by another run
        return Fail(Outcome::kFailed, at + "cannot move \"" + step.name + "\" to \"" +
                                          Join(step.folder) + "\": " + s.text);
      }
      ++moved_;
      touched.emplace(Key(step.folder), std::move(dir));
    }
    for (auto& [key, folder] : touched)
      if (TreeStatus s = tree_.Sync(*folder); !s.ok())
        return Fail(Outcome::kFailed, "cannot flush a folder: " + s.text);
    if (TreeStatus s = tree_.Sync(*here_); !s.ok())
      return Fail(Outcome::kFailed, "cannot flush a folder: " + s.text);
    return Fail(Outcome::kDone, "");
  }

  // Moves one file of the batch file's folder into `to`, replacing a file of the same
  // name there (spelt as it is there).
  TreeStatus Move(const std::string& name, Folder& to) {
    std::string target = name, real;
    EntryKind kind;
    TreeStatus failure;
    if (Find(tree_, to, name, &real, &kind, &failure)) {
      if (kind != EntryKind::kFile)
        return {TreeStatus::kNotFile, real + " is " + KindText(kind) + " now"};
      target = real;
    } else if (!failure.ok()) {
      return failure;
    }
    EntryKind source;
    if (TreeStatus s = tree_.Kind(*here_, name, &source); !s.ok()) return s;
    if (source != EntryKind::kFile)
      return {TreeStatus::kNotFile, name + " is " + KindText(source) + " now"};
    TreeStatus s = tree_.Rename(*here_, name, to, target);
    if (s.code != TreeStatus::kCrossDevice) return s;
    // Another file system: a whole, flushed copy is in place before the source goes.
    const std::string temp = "~" + name + ".guichet-batch";
    if (s = tree_.CopyFlushed(*here_, name, to, temp); !s.ok()) return s;
    if (s = tree_.Rename(to, temp, to, target); !s.ok()) return s;
    if (s = tree_.Sync(to); !s.ok()) return s;
    return tree_.Delete(*here_, name);
  }

  Tree& tree_;
  const BatchLocation& where_;
  std::unique_ptr<Folder> root_, here_;
  std::vector<Step> steps_;
  Step last_;
  int moved_ = 0;
};

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path + "/") {
#ifdef _WIN32
    if (c == '\\') c = '/';
#endif
    if (c != '/') {
      part += c;
      continue;
    }
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  }
  return parts;
}

bool IsAbsolute(const std::string& path) {
#ifdef _WIN32
  return path.size() >= 2 && (path[1] == ':' || (path[0] == '\\' && path[1] == '\\'));
#else
  return !path.empty() && path[0] == '/';
#endif
}

}  // namespace

bool LocateBatchFile(const std::string& path, const std::string& current_folder,
                     BatchLocation* where, std::string* why) {
  const std::string full = IsAbsolute(path) ? path : current_folder + "/" + path;
  std::vector<std::string> parts = SplitPath(full);
  if (parts.size() < 3) {
    *why = "not in a stage folder of a site's Tasks folder";
    return false;
  }
  const size_t folders = parts.size() - 1;
  size_t tasks = folders;
  if (folders >= 3 && EqualsNoCase(parts[folders - 3], "Tasks"))
    tasks = folders - 3;
  else if (EqualsNoCase(parts[folders - 2], "Tasks"))
    tasks = folders - 2;
  if (tasks == folders) {
    *why = "not in a stage folder of a site's Tasks folder";
    return false;
  }
  std::string site;
#ifdef _WIN32
  const bool unc = full.size() >= 2 && full[0] == '\\' && full[1] == '\\';
  site = unc ? "//" : "";
  for (size_t i = 0; i < tasks; ++i) site += (i == 0 ? "" : "/") + parts[i];
  if (tasks == 1 && !unc) site += "/";  // a drive's root
#else
  for (size_t i = 0; i < tasks; ++i) site += "/" + parts[i];
  if (site.empty()) site = "/";
#endif
  where->site = site;
  where->folders.assign(parts.begin() + static_cast<long>(tasks), parts.end() - 1);
  where->name = parts.back();
  return true;
}

Outcome RunBatchFile(Tree& tree, const BatchLocation& where) { return Run(tree, where).Go(); }

Outcome FindArchiveBatchFiles(Tree& tree, const std::string& site,
                              std::vector<BatchLocation>* found,
                              std::vector<std::string>* skipped) {
  Outcome o;
  std::unique_ptr<Folder> dir;
  if (TreeStatus s = tree.OpenRoot(site, &dir); !s.ok()) {
    o.code = Outcome::kFailed;
    o.message = "cannot open the site: " + s.text;
    return o;
  }
  std::vector<std::string> real_path;
  for (const char* part : {"Tasks", "Publications"}) {
    std::string real;
    EntryKind kind;
    TreeStatus failure;
    std::unique_ptr<Folder> next;
    if (!Find(tree, *dir, part, &real, &kind, &failure)) {
      if (failure.ok()) return o;  // nothing published yet
      o.code = Outcome::kFailed;
      o.message = failure.text;
      return o;
    }
    TreeStatus s = tree.OpenFolder(*dir, real, &next);
    if (!s.ok()) {
      o.code = s.code == TreeStatus::kLink ? Outcome::kRefused : Outcome::kFailed;
      o.message = "cannot open \"" + real + "\": " + s.text;
      return o;
    }
    dir = std::move(next);
    real_path.push_back(real);
  }
  std::vector<Entry> authors;
  if (TreeStatus s = tree.List(*dir, &authors); !s.ok()) {
    o.code = Outcome::kFailed;
    o.message = s.text;
    return o;
  }
  std::sort(authors.begin(), authors.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  for (const Entry& a : authors) {
    if (a.kind == EntryKind::kLink) skipped->push_back(Join(real_path) + "\\" + a.name);
    if (a.kind != EntryKind::kFolder) continue;
    std::unique_ptr<Folder> author;
    if (!tree.OpenFolder(*dir, a.name, &author).ok()) {
      skipped->push_back(Join(real_path) + "\\" + a.name);
      continue;
    }
    std::vector<Entry> files;
    if (!tree.List(*author, &files).ok()) {
      skipped->push_back(Join(real_path) + "\\" + a.name);
      continue;
    }
    std::sort(files.begin(), files.end(),
              [](const Entry& x, const Entry& y) { return x.name < y.name; });
    for (const Entry& f : files) {
      const std::string upper = ToUpper(f.name);
      const std::string end = ".FINISHED.BAT";
      if (upper.size() <= end.size() + 4 || upper.compare(0, 4, "HVR_") != 0 ||
          upper.compare(upper.size() - end.size(), end.size(), end) != 0)
        continue;
      // A link or a FIFO under a batch file's name is refused by the run, and said so.
      found->push_back({site, {real_path[0], real_path[1], a.name}, f.name});
    }
  }
  return o;
}

}  // namespace guichet::batch
