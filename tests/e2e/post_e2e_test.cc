// Uploads through the real executable: piece files dropped the way the front end drops
// them, payloads made by base64 and xxd, results compared with the originals by cmp.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "support/text.h"
#include "support_lib/site.h"

namespace guichet {
namespace {

using test::Exists;
using test::ListDir;
using test::ReadAll;

[[maybe_unused]] std::string Shell(const std::string& command) {
  std::string out;
  FILE* f = popen(command.c_str(), "r");
  if (!f) return out;
  char buf[1 << 14];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  pclose(f);
  return out;
}

#ifdef _WIN32
// base64 and xxd are Linux tools, out of reach under wine: the same encodings here.
std::string Base64(const std::string& data) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(data[i]) << 16;
    if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    if (i + 2 < data.size()) v |= static_cast<unsigned char>(data[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < data.size() ? kAlphabet[v & 63] : '=';
  }
  return out;
}

std::string Hex(const std::string& data) {
  std::string out;
  for (unsigned char c : data) {
    out += "0123456789abcdef"[c >> 4];
    out += "0123456789abcdef"[c & 15];
  }
  return out;
}
#endif

std::string Random(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (char& c : s) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

class PostEndToEnd : public ::testing::Test {
 protected:
  // A piece of `doc` encoded by an outside tool.
  std::string Line(const std::string& doc, int id, const std::string& ext, size_t offset,
                   size_t size, bool base64, bool several, int64_t length = -1) {
    const std::string slice = run.root() + "/slice";
    test::WriteAll(slice, doc.substr(offset, size));
#ifdef _WIN32
    std::string payload = base64 ? Base64(doc.substr(offset, size)) : Hex(doc.substr(offset, size));
#else
    std::string payload =
        Shell(base64 ? "base64 -w0 < " + slice : "xxd -p < " + slice + " | tr -d '\\n'");
#endif
    std::string line = "path=C:[5C]Dictees&idexamen=" + std::to_string(id) + "&extension=" + ext +
                       "&offset=" + std::to_string(offset) +
                       "&length=" + std::to_string(length < 0 ? int64_t(size) : length);
    if (several) line += "&totallength=" + std::to_string(doc.size());
    return line + (base64 ? "&encoding=base64" : "&encoding=hex") + "&data=" + payload;
  }
  // The ".txt", then the ".rdy".
  void Drop(const std::string& name, const std::string& line) {
    test::MakeDirs(run.spool() + "/post");
    test::DropFile(run.spool() + "/post/" + name + ".txt", line + "\r\n");
    test::DropFile(run.spool() + "/post/" + name + ".rdy", "");
  }
  // True when the file and the original are the same bytes, by cmp (compared here on
  // Windows).
  bool SameAsOriginal(const std::string& path, const std::string& original) {
#ifdef _WIN32
    return Exists(path) && ReadAll(path) == original;
#endif
    const std::string orig = run.root() + "/original";
    test::WriteAll(orig, original);
    return std::system(("cmp -s " + orig + " " + path).c_str()) == 0;
  }
  std::string Task(const std::string& n) { return run.tasks() + "/" + n; }

  test::RunningGuichet run;
};

TEST_F(PostEndToEnd, DocumentsAreAssembledFromTheirPieces) {
  const std::string dictation = Random(3 * 10240 + 777, 1);
  const std::string pdf = Random(5000, 2);
  const std::string urgent = "Urgent : rappeler le patient\r\n";
  const std::string pid = "4242";
  const std::string small = Random(10, 3);

  // Waiting before the start: one-piece documents beside ".urg" and ".pid" pieces, and the
  // third and second pieces of the dictation (the first is not there yet).
  Drop("1", Line(pid, 500, ".pid", 0, pid.size(), false, false));
  Drop("2", Line(urgent, 500, ".urg", 0, urgent.size(), true, false));
  Drop("3", Line(pdf, 502, ".pdf", 0, pdf.size(), true, false));
  Drop("4", Line(small, 503, ".spx", 0, small.size(), false, false));
  Drop("10", Line(dictation, 501, ".spx", 2 * 10240, 10240, true, true));
  Drop("11", Line(dictation, 501, ".spx", 3 * 10240, 777, false, true));
  run.Start();
  ASSERT_TRUE(run.WaitFor(Task("hvr_500.pid")));
  EXPECT_TRUE(SameAsOriginal(Task("hvr_500.pid"), pid));
  EXPECT_TRUE(SameAsOriginal(Task("hvr_500.urg"), urgent));
  EXPECT_TRUE(SameAsOriginal(Task("hvr_502.pdf"), pdf));
  EXPECT_TRUE(SameAsOriginal(Task("hvr_503.spx"), small));
  // The out-of-order pieces wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(Exists(run.spool() + "/post/10.rdy"));
  EXPECT_FALSE(Exists(Task("hvr_501.spx")));

  // The first two pieces come, the second one twice.
  Drop("20", Line(dictation, 501, ".spx", 0, 10240, false, true));
  Drop("21", Line(dictation, 501, ".spx", 10240, 10240, true, true));
  Drop("22", Line(dictation, 501, ".spx", 10240, 10240, false, true));
  ASSERT_TRUE(run.WaitFor(Task("hvr_501.spx")));
  EXPECT_TRUE(SameAsOriginal(Task("hvr_501.spx"), dictation));
  EXPECT_FALSE(Exists(run.spool() + "/temp/hvr_501.spx"));
  // The duplicate's bytes are already in place in the complete document: taken as done.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(ListDir(run.spool() + "/post"), std::vector<std::string>{});
  EXPECT_TRUE(SameAsOriginal(Task("hvr_501.spx"), dictation));
  EXPECT_TRUE(run.Running());
}

TEST_F(PostEndToEnd, TextShortPiecesListsAndBadNames) {
  run.Start();
  // A text in two pieces, cut inside a character: converted whole, as iconv does.
  std::string text = "Compte rendu du " + std::string(10000, '.') + " patient : " +
                     "il a reçu son traitement, coût 20 €.\r\nÀ revoir en décembre.\r\n";
  size_t cut = text.find("\xC3\xA7") + 1;
  Drop("1", Line(text, 600, ".txt", 0, cut, true, true));
  Drop("2", Line(text, 600, ".txt", cut, text.size() - cut, false, true));
  // A short second piece of another document: rolled back, set aside.
  const std::string doc = Random(20480, 4);
  Drop("3", Line(doc, 601, ".spx", 0, 10240, true, true));
  Drop("4", Line(doc, 601, ".spx", 10240, 5000, false, true, 10240));
  // Lists.
  Drop("5", "List=Cardiologie|Neurologie|-End-|Radiologie");
  Drop("6", "List=Neurologie|Radiologie");
  // An extension that would leave the tasks folder.
  Drop("7", "idexamen=602&extension=[2F]..[2F]x&length=1&data=41");

  ASSERT_TRUE(run.WaitFor(Task("hvr_600.txt")));
  const std::string original = run.root() + "/text-utf8";
  test::WriteAll(original, text);
#ifdef _WIN32
  // Every character of the text has its Windows-1252 byte, as iconv gives on Linux.
  EXPECT_EQ(ReadAll(Task("hvr_600.txt")), W(text));
#else
  EXPECT_EQ(ReadAll(Task("hvr_600.txt")), Shell("iconv -f UTF-8 -t WINDOWS-1252 < " + original));
#endif

  ASSERT_TRUE(run.WaitFor(run.app() + "/vaultpilot.cbo"));
  for (int i = 0; i < 100 && !ListDir(run.spool() + "/post").empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ListDir(run.spool() + "/post"), std::vector<std::string>{});
  EXPECT_EQ(ReadAll(run.app() + "/vaultpilot.cbo"),
            "Cardiologie\r\nNeurologie\r\nRadiologie\r\n-End-\r\n");
  EXPECT_TRUE(SameAsOriginal(run.spool() + "/temp/hvr_601.spx", doc.substr(0, 10240)));
  std::vector<std::string> errors = ListDir(run.spool() + "/post_err");
  ASSERT_EQ(errors.size(), 4u);
  for (const std::string& e : errors) EXPECT_EQ(e.size(), 12 + 1 + 5u) << e;  // time_N.ext
  EXPECT_EQ(errors[0].substr(12), "_4.rdy");
  EXPECT_EQ(errors[2].substr(12), "_7.rdy");
  EXPECT_FALSE(Exists(run.root() + "/x"));
  EXPECT_FALSE(Exists(run.root() + "/hvr_602"));
  EXPECT_TRUE(run.Running());
}

TEST_F(PostEndToEnd, UploadsSurviveStopsAndDowntime) {
  test::MakeDirs(run.spool() + "/temp");
  // Found at start-up, 40 minutes old: the second piece of a dictation, listed before
  // its first one.
  const std::string a = Random(15240, 10);
  Drop("1", Line(a, 700, ".spx", 10240, 5000, false, true));
  Drop("2", Line(a, 700, ".spx", 0, 10240, true, true));
  const int64_t old = static_cast<int64_t>(time(nullptr)) - 40 * 60;
  for (const char* f : {"1.txt", "1.rdy", "2.txt", "2.rdy"})
    test::SetMtime(run.spool() + "/post/" + f, old);
  // Stopped while writing the second piece of another: the document ends inside it.
  const std::string b = Random(23480, 11);
  test::WriteAll(run.spool() + "/temp/hvr_701.spx", b.substr(0, 10240 + 4000));
  Drop("3", Line(b, 701, ".spx", 10240, 10240, false, true));
  Drop("4", Line(b, 701, ".spx", 20480, 3000, true, true));
  // Stopped while rolling back a short piece: only the rollback copy is there.
  const std::string c = Random(30720, 12);
  test::WriteAll(run.spool() + "/temp/hvr_702.spx.tofix", c.substr(0, 20480 + 2000));
  Drop("5", Line(c, 702, ".spx", 20480, 2000, false, true, 10240));
  Drop("6", Line(c, 702, ".spx", 20480, 10240, true, true));

  run.Start();
  for (const char* n : {"hvr_700.spx", "hvr_701.spx", "hvr_702.spx"})
    EXPECT_TRUE(run.WaitFor(Task(n))) << n;
  EXPECT_TRUE(SameAsOriginal(Task("hvr_700.spx"), a));
  EXPECT_TRUE(SameAsOriginal(Task("hvr_701.spx"), b));
  EXPECT_TRUE(SameAsOriginal(Task("hvr_702.spx"), c));
  EXPECT_EQ(ListDir(run.spool() + "/temp"), std::vector<std::string>{});
  EXPECT_EQ(ListDir(run.spool() + "/post"), std::vector<std::string>{});
  // Only the short piece is set aside.
  std::vector<std::string> errors = ListDir(run.spool() + "/post_err");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].substr(12), "_5.rdy");
  EXPECT_EQ(errors[1].substr(12), "_5.txt");
}

TEST_F(PostEndToEnd, FolderWhereTheDocumentMustGoIsSetAsideAndLoggedOnce) {
  test::MakeDirs(Task("hvr_710.spx"));
  const std::string doc = Random(100, 13);
  Drop("1", Line(doc, 710, ".spx", 0, doc.size(), false, false));
  run.Start();
  run.WaitFor(run.spool() + "/post_err", 5000);
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  EXPECT_EQ(ListDir(run.spool() + "/post"), std::vector<std::string>{});
  EXPECT_EQ(ListDir(run.spool() + "/post_err").size(), 2u);
  std::string log;
  for (const std::string& f : ListDir(run.app()))
    if (f.rfind("LogHalvero", 0) == 0) log += ReadAll(run.app() + "/" + f);
  const std::string failure = "TraiteRequete : Type de fichier incorrect (";
  EXPECT_NE(log.find(failure), std::string::npos) << log;
  EXPECT_EQ(log.find(failure), log.rfind(failure)) << log;
  EXPECT_TRUE(run.Running());
}

}  // namespace
}  // namespace guichet
