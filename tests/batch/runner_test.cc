// The runner on real folders: an archive batch file files a document, a run stopped
// after any change finishes when run again, and hostile files move nothing.
#include "runner.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "support_lib/site.h"

namespace guichet::batch {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::TempDir;
using test::WriteAll;

// Forwards to the real tree; stops the run (as a kill would) before change number
// `stop_at` (from 0), and can make every rename between two folders cross file systems.
class StoppingTree : public Tree {
 public:
  struct Killed {};
  StoppingTree(int stop_at, bool cross_device) : stop_at_(stop_at), cross_(cross_device) {}
  int changes = 0;
  std::function<void(int)> before_change;  // runs before each change, given its number

  TreeStatus OpenRoot(const std::string& p, std::unique_ptr<Folder>* o) override {
    return real_->OpenRoot(p, o);
  }
  TreeStatus List(Folder& d, std::vector<Entry>* e) override { return real_->List(d, e); }
  TreeStatus Kind(Folder& d, const std::string& n, EntryKind* k) override {
    return real_->Kind(d, n, k);
  }
  TreeStatus OpenFolder(Folder& d, const std::string& n, std::unique_ptr<Folder>* o) override {
    return real_->OpenFolder(d, n, o);
  }
  TreeStatus ReadFile(Folder& d, const std::string& n, size_t m, std::string* s) override {
    return real_->ReadFile(d, n, m, s);
  }
  TreeStatus MakeFolder(Folder& d, const std::string& n) override {
    Change();
    return real_->MakeFolder(d, n);
  }
  TreeStatus Rename(Folder& f, const std::string& n, Folder& t, const std::string& g) override {
    Change();
    if (cross_ && &f != &t) return {TreeStatus::kCrossDevice, "other file system"};
    return real_->Rename(f, n, t, g);
  }
  TreeStatus CopyFlushed(Folder& f, const std::string& n, Folder& t,
                         const std::string& g) override {
    Change();
    return real_->CopyFlushed(f, n, t, g);
  }
  TreeStatus Delete(Folder& d, const std::string& n) override {
    Change();
    return real_->Delete(d, n);
  }
  TreeStatus Sync(Folder& d) override { return real_->Sync(d); }

 private:
  void Change() {
    if (before_change) before_change(changes);
    if (changes++ == stop_at_) throw Killed{};
  }
  std::unique_ptr<Tree> real_ = RealTree();
  int stop_at_;
  bool cross_;
};

// Every entry below `root`: files with their bytes, folders, links with their targets.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string rel = fs::relative(it->path(), root).generic_string();
    auto st = it->symlink_status();
    if (fs::is_symlink(st))
      out[rel] = "link " + fs::read_symlink(it->path()).string();
    else if (fs::is_directory(st))
      out[rel] = "folder";
    else if (fs::is_regular_file(st))
      out[rel] = "file " + ReadAll(it->path().string());
    else
      out[rel] = "special";
  }
  return out;
}

const char kArchiveBat[] =
    "mkdir \"..\\..\\..\\Archives\"\r\n"
    "mkdir \"..\\..\\..\\Archives\\Lettre Martin\"\r\n"
    "move hvr_42.info \"..\\..\\..\\Archives\\Lettre Martin\"\r\n"
    "move hvr_42.pdf \"..\\..\\..\\Archives\\Lettre Martin\"\r\n"
    "move hvr_42.txt \"..\\..\\..\\Archives\\Lettre Martin\"\r\n"
    "move hvr_42.doc \"..\\..\\..\\Archives\\Lettre Martin\"\r\n"
    "mkdir \"..\\..\\..\\Archives_Trash\"\r\n"
    "mkdir \"..\\..\\..\\Archives_Trash\\Lettre Martin\"\r\n"
    "move hvr_42.* \"..\\..\\..\\Archives_Trash\\Lettre Martin\"\r\n";

// A site with one published document and its archive batch file; the archive folder
// exists already (in another case) and holds an older copy of the PDF in upper case.
struct Site {
  TempDir dir;
  std::string pub = dir.path() + "/Tasks/Publications/u7";
  Site(const std::string& bat = kArchiveBat) {
    test::MakeDirs(pub);
    test::MakeDirs(dir.path() + "/archives/Lettre Martin");
    WriteAll(dir.path() + "/archives/Lettre Martin/HVR_42.PDF", "old");
    WriteAll(pub + "/hvr_42.info", "[Document]\r\nDateDoc=2026-12-09\r\n");
    WriteAll(pub + "/hvr_42.pdf", "%PDF-1.4 lettre");
    WriteAll(pub + "/hvr_42.wav", std::string(64, 'w'));
    WriteAll(pub + "/hvr_42.id", "Lettre Martin\r\n");
    WriteAll(pub + "/hvr_421.pdf", "another document");
    WriteAll(pub + "/hvr_42.finished.bat", bat);
  }
  BatchLocation Where() const {
    return {dir.path(), {"Tasks", "Publications", "u7"}, "hvr_42.finished.bat"};
  }
};

std::map<std::string, std::string> Filed() {
  return {
      {"Tasks", "folder"},
      {"Tasks/Publications", "folder"},
      {"Tasks/Publications/u7", "folder"},
      {"Tasks/Publications/u7/hvr_421.pdf", "file another document"},
      {"archives", "folder"},
      {"archives/Lettre Martin", "folder"},
      {"archives/Lettre Martin/hvr_42.info", "file [Document]\r\nDateDoc=2026-12-09\r\n"},
      {"archives/Lettre Martin/HVR_42.PDF", "file %PDF-1.4 lettre"},
      {"Archives_Trash", "folder"},
      {"Archives_Trash/Lettre Martin", "folder"},
      {"Archives_Trash/Lettre Martin/hvr_42.wav", "file " + std::string(64, 'w')},
      {"Archives_Trash/Lettre Martin/hvr_42.id", "file Lettre Martin\r\n"},
      {"Archives_Trash/Lettre Martin/hvr_42.finished.bat", std::string("file ") + kArchiveBat},
  };
}

TEST(BatchRunner, FilesAPublishedDocumentAndFinishesAfterAStopAtEveryStep) {
  {
    Site site;
    Outcome o = RunBatchFile(*RealTree(), site.Where());
    EXPECT_EQ(o.code, Outcome::kDone) << o.message;
    EXPECT_EQ(o.moved, 5);
    EXPECT_EQ(Snapshot(site.dir.path()), Filed());
    // Run again: the batch file has gone with the family.
    EXPECT_EQ(RunBatchFile(*RealTree(), site.Where()).code, Outcome::kRefused);
  }
  for (bool cross : {false, true}) {
    int changes = 0;
    {
      Site site;
      StoppingTree count(-1, cross);
      EXPECT_EQ(RunBatchFile(count, site.Where()).code, Outcome::kDone);
      changes = count.changes;
      EXPECT_EQ(Snapshot(site.dir.path()), Filed());
    }
    EXPECT_EQ(changes, cross ? 2 + 5 * 4 : 2 + 5);  // Archives_Trash and its folder, the moves
#ifdef _WIN32
    // Every third step under wine, whose file calls are slow: each kind of step (rename,
    // copy, rename into place, delete) is still met, at different moves.
    const int stride = 3;
#else
    const int stride = 1;
#endif
    for (int stop = 0; stop < changes; stop += stride) {
      Site site;
      StoppingTree stopped(stop, cross);
      EXPECT_THROW(RunBatchFile(stopped, site.Where()), StoppingTree::Killed);
      // The batch file goes last, so it is still there to be run again.
      EXPECT_TRUE(test::Exists(site.pub + "/hvr_42.finished.bat")) << stop;
      StoppingTree again(-1, cross);
      Outcome o = RunBatchFile(again, site.Where());
      EXPECT_EQ(o.code, Outcome::kDone) << "stopped at " << stop << ": " << o.message;
      EXPECT_EQ(Snapshot(site.dir.path()), Filed()) << "stopped at " << stop << " cross " << cross;
    }
  }
}

TEST(BatchRunner, RefusesHostileFilesAndMovesNothing) {
  struct Case {
    std::string name;
    std::string bat;                                     // "" keeps the archive batch file
    std::function<void(const std::string& root)> plant;  // what is planted in the site
    std::string reason;
    bool posix = false;  // plants a symbolic link or a FIFO: Linux only
  };
  TempDir outside;
  test::MakeDirs(outside.path() + "/elsewhere");
  const std::string there = outside.path() + "/elsewhere";
  auto link = [](const std::string& target, const std::string& at) {
    fs::create_symlink(target, at);
  };
  const std::string pub = "/Tasks/Publications/u7";
  std::vector<Case> cases = {
      {"leaves the site", "mkdir \"..\\..\\..\\..\\x\"\r\n", nullptr, "leaves the site"},
      {"leaves and comes back", "mkdir \"..\\..\\..\\..\\site\\Archives\"\r\n", nullptr,
       "leaves the site"},
      {"a quote in the archive name", "mkdir \"..\\..\\..\\Archives\\Lettre \"Martin\"\"\r\n",
       nullptr, "double quote"},
      {"a reserved archive name", "mkdir \"..\\..\\..\\Archives\\Aux.Martin\"\r\n", nullptr,
       "reserved"},
      {"an unknown command last", std::string(kArchiveBat) + "del hvr_42.*\r\n", nullptr,
       "line 10: unknown command"},
      {"a move into a folder nobody makes", "move hvr_42.pdf \"..\\..\\..\\Nowhere\"\r\n", nullptr,
       "no earlier line makes it"},
      {"a folder made where a file goes",
       "mkdir \"..\\..\\..\\A\\HVR_42.PDF\"\r\nmove hvr_42.pdf \"..\\..\\..\\A\"\r\n", nullptr,
       "makes a folder where"},
      {"a folder made through a moved file",
       "mkdir \"..\\..\\..\\A\"\r\nmove hvr_42.pdf \"..\\..\\..\\A\"\r\n"
       "mkdir \"..\\..\\..\\a\\hvr_42.pdf\\x\"\r\n",
       nullptr, "where an earlier line moves a file"},
      {"a move into its own folder", "move hvr_42.pdf \"..\\u7\"\r\n", nullptr, "own folder"},
      {"the site's archives a link", "",
       [&](const std::string& r) { fs::remove_all(r + "/archives"), link(there, r + "/Archives"); },
       "is a link", true},
      {"the archive folder a link", "",
       [&](const std::string& r) {
         fs::remove_all(r + "/archives/Lettre Martin");
         link(there, r + "/archives/Lettre Martin");
       },
       "is a link", true},
      {"the trash a link", "", [&](const std::string& r) { link(there, r + "/Archives_Trash"); },
       "is a link", true},
      {"a family file a link", "",
       [&](const std::string& r) { link(there + "/x", r + pub + "/hvr_42.doc"); }, "is a link",
       true},
      {"a file to replace a link", "",
       [&](const std::string& r) {
         fs::remove(r + "/archives/Lettre Martin/HVR_42.PDF");
         link(there + "/y", r + "/archives/Lettre Martin/hvr_42.pdf");
       },
       "is a link", true},
      {"a folder where a file goes", "",
       [&](const std::string& r) { test::MakeDirs(r + "/archives/Lettre Martin/hvr_42.info"); },
       "is a folder"},
      {"a FIFO in the family", "",
       [&](const std::string& r) {
#ifndef _WIN32
         mkfifo((r + pub + "/hvr_42.txt").c_str(), 0600);
#endif
       },
       "special file", true},
      {"a file where the trash goes", "",
       [&](const std::string& r) { WriteAll(r + "/Archives_Trash", "x"); }, "not a folder"},
      {"two family files but for case", "",
       [&](const std::string& r) { WriteAll(r + pub + "/HVR_42.WAV", "w"); }, "but for case", true},
      {"a family file Windows cannot hold", "",
       [&](const std::string& r) { WriteAll(r + pub + "/hvr_42.a\"b", "q"); }, "double quote",
       true},
      {"the stage folder a link", "",
       [&](const std::string& r) {
         fs::rename(r + "/Tasks/Publications", there + "/Publications");
         link(there + "/Publications", r + "/Tasks/Publications");
       },
       "is a link", true},
  };
  for (const Case& c : cases) {
#ifdef _WIN32
    if (c.posix) continue;
#endif
    Site site(c.bat.empty() ? kArchiveBat : c.bat);
    if (c.plant) c.plant(site.dir.path());
    const auto before = Snapshot(site.dir.path());
    const auto outside_before = Snapshot(outside.path());
    Outcome o = RunBatchFile(*RealTree(), site.Where());
    EXPECT_EQ(o.code, Outcome::kRefused) << c.name;
    EXPECT_NE(o.message.find(c.reason), std::string::npos) << c.name << ": " << o.message;
    EXPECT_EQ(Snapshot(site.dir.path()), before) << c.name;
    EXPECT_EQ(Snapshot(outside.path()), outside_before) << c.name;
    fs::remove_all(there);
    test::MakeDirs(there);
  }
  // The batch file itself a FIFO or a link: refused at once, not waited on or followed.
#ifndef _WIN32
  Site site;
  fs::remove(site.pub + "/hvr_42.finished.bat");
  mkfifo((site.pub + "/hvr_42.finished.bat").c_str(), 0600);
  EXPECT_EQ(RunBatchFile(*RealTree(), site.Where()).code, Outcome::kRefused);
  fs::remove(site.pub + "/hvr_42.finished.bat");
  WriteAll(there + "/real.bat", kArchiveBat);
  fs::create_symlink(there + "/real.bat", site.pub + "/hvr_42.finished.bat");
  EXPECT_EQ(RunBatchFile(*RealTree(), site.Where()).code, Outcome::kRefused);
  EXPECT_TRUE(test::Exists(site.pub + "/hvr_42.pdf"));
#endif
}

// A link planted while the file runs, after its checks, in place of a target folder
// (moved aside within the site): nothing ever reaches where the link points.
TEST(BatchRunner, ALinkPlantedDuringTheRunIsNeverFollowed) {
  SKIP_ON_WINDOWS("symbolic links");
  for (int at = 0; at < 7; ++at) {
    Site site;
    TempDir outside;
    bool planted = false;
    StoppingTree tree(-1, false);
    tree.before_change = [&](int n) {
      if (n != at) return;
      int i = 0;
      for (const char* f : {"/archives/Lettre Martin", "/Archives_Trash/Lettre Martin"}) {
        const std::string folder = site.dir.path() + f;
        if (!fs::is_directory(folder)) continue;
        const std::string target = outside.path() + "/" + std::to_string(i);
        test::MakeDirs(target);
        fs::rename(folder, site.dir.path() + "/aside" + std::to_string(i++));
        fs::create_symlink(target, folder);
      }
      planted = true;
    };
    Outcome o = RunBatchFile(tree, site.Where());
    ASSERT_TRUE(planted) << at;
    for (const auto& [path, what] : Snapshot(outside.path()))
      EXPECT_EQ(what, "folder") << path << ", planted before change " << at;
    EXPECT_NE(o.code, Outcome::kRefused) << at;  // the checks had passed
  }
}

TEST(BatchRunner, LocatesTheSiteAboveTheTasksFolder) {
  SKIP_ON_WINDOWS("Linux paths");
  BatchLocation w;
  std::string why;
  ASSERT_TRUE(LocateBatchFile("Tasks/Transcriptions/u7/hvr_1.finished.bat", "/srv/site", &w, &why));
  EXPECT_EQ(w.site, "/srv/site");
  EXPECT_EQ(w.folders, (std::vector<std::string>{"Tasks", "Transcriptions", "u7"}));
  EXPECT_EQ(w.name, "hvr_1.finished.bat");
  ASSERT_TRUE(LocateBatchFile("/srv/x/../site/tasks/Transcriptions/Tasks/b.bat", "/", &w, &why));
  EXPECT_EQ(w.site, "/srv/site");  // an author named "Tasks" is no tasks folder
  EXPECT_EQ(w.folders, (std::vector<std::string>{"tasks", "Transcriptions", "Tasks"}));
  EXPECT_FALSE(LocateBatchFile("/srv/site/Archives/a/b/c.bat", "/", &w, &why));
  EXPECT_FALSE(LocateBatchFile("c.bat", "/", &w, &why));
}

}  // namespace
}  // namespace guichet::batch
