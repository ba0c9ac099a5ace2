// The front end's pieces on their own: forms, the request file, upload pieces, byte
// ranges, and the path checks of static files and of the rights list.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <filesystem>

#include "exchange/decode.h"
#include "files.h"
#include "form.h"
#include "os.h"
#include "platform/env.h"
#include "session_store.h"
#include "spool_writer.h"
#include "support_lib/process.h"
#include "support_lib/site.h"

namespace guichet::web {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::TempDir;
using test::WriteAll;

TEST(Form, UrlEncodedValuesStayTheBytesSent) {
  Fields f;
  ParseUrlEncoded("command=login&p2=anna+b%E9&p3=a%26b%3Dc&&empty=&bare&p4=%ZZ%4", &f);
  ASSERT_EQ(f.size(), 6u);
  EXPECT_EQ(f[0], (std::pair<std::string, std::string>("command", "login")));
  EXPECT_EQ(f[1].second, "anna b\xE9");  // windows-1252 bytes, not converted
  EXPECT_EQ(f[2].second, "a&b=c");
  EXPECT_EQ(f[3], (std::pair<std::string, std::string>("empty", "")));
  EXPECT_EQ(f[4], (std::pair<std::string, std::string>("bare", "")));
  EXPECT_EQ(f[5].second, "%ZZ%4");  // broken escapes stay as written
  EXPECT_EQ(PercentDecode("a+b%00c", false), std::string("a+b\0c", 5));
}

TEST(Form, HeaderParameters) {
  std::string v;
  EXPECT_TRUE(HeaderParam("multipart/form-data; boundary=----x1", "boundary", &v));
  EXPECT_EQ(v, "----x1");
  EXPECT_TRUE(HeaderParam("form-data; name=\"f\"; filename=\"a \\\"b\\\".spx\"", "filename", &v));
  EXPECT_EQ(v, "a \"b\".spx");
  EXPECT_TRUE(HeaderParam("form-data; filename=\"x\"; name=\"p2\"", "name", &v));
  EXPECT_EQ(v, "p2");
  EXPECT_FALSE(HeaderParam("form-data; name=\"p2\"", "filename", &v));
}

// The same body fed in every possible cut gives the same parts.
TEST(Form, MultipartStreamsAcrossAnyCut) {
  // Almost the delimiter, a NUL, line ends: all of it is the file's.
  const std::string file("abc\r\n--Xb\r\nnot a boundary\r\n--XY\0end\r\n-", 38);
  const std::string body =
      "preamble\r\n--XYZ\r\nContent-Disposition: form-data; name=\"p2\"\r\n\r\nanna\r\n"
      "--XYZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"d.spx\"\r\n"
      "Content-Type: audio/ogg\r\n\r\n" +
      file + "\r\n--XYZ--\r\nepilogue";
  for (size_t cut = 0; cut <= body.size(); ++cut) {
    MultipartReader r("XYZ");
    std::vector<std::string> names, values;
    std::vector<bool> files;
    r.on_part = [&](const MultipartReader::Part& p) {
      names.push_back(p.name);
      files.push_back(p.has_filename);
      values.emplace_back();
      return true;
    };
    r.on_data = [&](std::string_view d) {
      values.back().append(d);
      return true;
    };
    ASSERT_TRUE(r.Feed(std::string_view(body).substr(0, cut))) << cut;
    ASSERT_TRUE(r.Feed(std::string_view(body).substr(cut))) << cut;
    ASSERT_TRUE(r.Finish()) << cut;
    ASSERT_EQ(names, (std::vector<std::string>{"p2", "file"})) << cut;
    EXPECT_EQ(values[0], "anna") << cut;
    EXPECT_EQ(values[1], file) << cut;
    EXPECT_EQ(files, (std::vector<bool>{false, true})) << cut;
  }
  Fields f;
  EXPECT_FALSE(ParseMultipart("--XYZ\r\nno end", "XYZ", &f));
  EXPECT_FALSE(ParseMultipart("--XYZ\r\n" + std::string(20000, 'h'), "XYZ", &f));
}

TEST(RequestFile, SixLinesAndNoValueAddsALine) {
  std::string c;
  ASSERT_TRUE(RequestFileContent({{"command", "login"}, {"p2", "anna"}, {"p3", "dictee"}}, &c));
  EXPECT_EQ(c, "/portail.hv\r\n\r\nlogin\r\n\r\nanna\r\ndictee\r\n");
  // p3, p4, ... joined by "|"; a missing one is empty; the first value of a name counts.
  ASSERT_TRUE(RequestFileContent(
      {{"logon", "tok"}, {"command", "7"}, {"p5", "e"}, {"p1", "a"}, {"p1", "other"}, {"p3", "c"}},
      &c));
  EXPECT_EQ(c, "/portail.hv\r\ntok\r\n7\r\na\r\n\r\nc||e\r\n");
  // CR and LF inside values become spaces: still six lines.
  ASSERT_TRUE(RequestFileContent(
      {{"logon", "t\r\nx"}, {"command", "login\n/portail.hv"}, {"p2", "a\rb"}, {"p3", "1\r\n2"}},
      &c));
  EXPECT_EQ(c, "/portail.hv\r\nt  x\r\nlogin /portail.hv\r\n\r\na b\r\n1  2\r\n");
  EXPECT_EQ(SplitLines(c).size(), 6u);
  // Windows-1252 bytes pass unchanged; control characters, bytes without a character and a
  // "|" that would shift the values after it do not.
  ASSERT_TRUE(RequestFileContent({{"p2", "\xE9t\xE9 \x80|x"}, {"p3", "\x9C"}}, &c));
  EXPECT_NE(c.find("\xE9t\xE9 \x80|x\r\n\x9C\r\n"), std::string::npos);
  for (const Fields& bad : std::vector<Fields>{{{"p2", std::string("a\0b", 3)}},
                                               {{"logon", "t\tx"}},
                                               {{"command", "step\x1b"}},
                                               {{"p1", "\x7f"}},
                                               {{"p4", "\x81"}},
                                               {{"p3", "one|two"}, {"p4", "three"}},
                                               {{"p9", "a|"}}}) {
    std::string why;
    EXPECT_FALSE(RequestFileContent(bad, &c, &why)) << bad[0].first;
    EXPECT_FALSE(why.empty());
  }
  // Indexes out of range are refused; other names are ignored.
  EXPECT_FALSE(RequestFileContent({{"p100", "x"}}, &c));
  EXPECT_FALSE(RequestFileContent({{"p0", "x"}}, &c));
  EXPECT_FALSE(RequestFileContent({{"p03", "x"}}, &c));
  EXPECT_TRUE(RequestFileContent({{"password", "x"}, {"p99", "y"}}, &c));
  EXPECT_EQ(std::count(c.begin(), c.end(), '|'), 96);
}

// Pieces written as Guichet reads them: decoded with its own decoder they give back the
// document, each offset follows the previous piece, and each ".txt" is there before its
// ".rdy".
TEST(Pieces, DocumentCutIntoNumberedPieces) {
  TempDir dir;
  const std::string post = dir.path() + "/post";
  fs::create_directories(post);
  // Waiting pieces: new numbers start above them.
  WriteAll(post + "/41.txt", "x");
  WriteAll(post + "/41.rdy", "");
  WriteAll(post + "/.7.tmp", "");
  std::string doc(25000, '\0');
  for (size_t i = 0; i < doc.size(); ++i) doc[i] = static_cast<char>(i * 7 + (i >> 8));
  PieceFolder folder(post);
  PieceWriter w(&folder, "77", ".spx", static_cast<int64_t>(doc.size()));
  ASSERT_EQ(w.Feed(doc.substr(0, 5)), 0);
  ASSERT_EQ(w.Feed(doc.substr(5, 15000)), 0);
  ASSERT_EQ(w.Feed(doc.substr(15005)), 0);
  EXPECT_EQ(w.Feed("x"), EMSGSIZE);
  ASSERT_EQ(w.Finish(), 0);
  EXPECT_EQ(w.pieces(), 3);
  std::string rebuilt;
  for (int n : {42, 43, 44}) {
    const std::string name = post + "/" + std::to_string(n);
    ASSERT_TRUE(test::Exists(name + ".rdy")) << n;
    std::string line = SplitLines(ReadAll(name + ".txt")).at(0);
    const std::string offset = "&offset=" + std::to_string(rebuilt.size()) + "&";
    EXPECT_NE(line.find(offset), std::string::npos) << line.substr(0, 120);
    EXPECT_EQ(line.rfind("path=&idexamen=77&extension=.spx&", 0), 0u);
    EXPECT_NE(line.find("&totallength=25000&encoding=base64&data="), std::string::npos);
    size_t len = line.find("&length=");
    int64_t length = std::stoll(line.substr(len + 8));
    EXPECT_EQ(length, n < 44 ? 10240 : 25000 - 20480);
    rebuilt += DecodeBase64Payload(line, line.find("&data=") + 6, length);
  }
  EXPECT_EQ(rebuilt, doc);
  EXPECT_FALSE(test::Exists(post + "/45.txt"));
  // A document shorter than announced is not finished.
  PieceWriter shorter(&folder, "78", ".spx", 10);
  ASSERT_EQ(shorter.Feed("abc"), 0);
  EXPECT_EQ(shorter.Finish(), EMSGSIZE);
}

// Temporary files of a front end that died are removed; a running one's stay, and so do
// the pieces and other hidden files.
TEST(Pieces, OrphanTemporariesRemoved) {
  TempDir dir;
  // Two other front ends: one that has ended, one that runs.
  const std::string exe = test::BinaryDir() + "/guichet-web" + test::kExecutableSuffix;
  test::ChildProcess ended, running;
  ASSERT_TRUE(ended.Start(exe, {"--help"}, ""));
  const int64_t ended_id = ended.id();
  ASSERT_EQ(ended.Wait(30000), 0);
  TempDir site;
  ASSERT_TRUE(running.Start(exe, {"--site", site.path(), "--listen", "127.0.0.1:0"}, ""));
  const std::string d = std::to_string(ended_id), live = std::to_string(running.id());
  for (const std::string& n : {".upload-" + d + "-3.tmp", ".12.txt." + d + "-7.tmp",
                               ".upload-" + live + "-1.tmp", ".12.rdy." + live + "-2.tmp",
                               std::string("12.txt"), std::string(".keep"), ".x-" + d + ".txt"})
    WriteAll(dir.path() + "/" + n, "");
  EXPECT_EQ(RemoveOrphanTemporaries(dir.path()), 2);
  EXPECT_EQ(test::ListDir(dir.path()),
            (std::vector<std::string>{".12.rdy." + live + "-2.tmp", ".keep",
                                      ".upload-" + live + "-1.tmp", ".x-" + d + ".txt", "12.txt"}));
}

TEST(Pieces, EmptyAndTextDocumentsGoInOnePiece) {
  TempDir dir;
  PieceFolder folder(dir.path());
  PieceWriter empty(&folder, "5", ".pdf", 0);
  ASSERT_EQ(empty.Finish(), 0);
  EXPECT_EQ(SplitLines(ReadAll(dir.path() + "/1.txt")).at(0),
            "path=&idexamen=5&extension=.pdf&offset=0&length=0&totallength=0&encoding=base64"
            "&data=");
  const std::string text(15000, 'a');
  PieceWriter t(&folder, "6", ".TXT", static_cast<int64_t>(text.size()));
  ASSERT_EQ(t.Feed(text), 0);
  ASSERT_EQ(t.Finish(), 0);
  std::string line = SplitLines(ReadAll(dir.path() + "/2.txt")).at(0);
  EXPECT_EQ(line.find("totallength"), std::string::npos);
  EXPECT_EQ(line.rfind("path=&idexamen=6&extension=.TXT&offset=0&length=15000&encoding=base64", 0),
            0u);
  EXPECT_FALSE(test::Exists(dir.path() + "/3.txt"));
}

TEST(Pieces, UploadNamesAreChecked) {
  for (const char* ok : {"1", "123456789"}) EXPECT_TRUE(IsUploadNumber(ok)) << ok;
  for (const char* bad : {"", "1234567890", "-1", "1a", "1&x=2", "../1"})
    EXPECT_FALSE(IsUploadNumber(bad)) << bad;
  for (const char* ok : {".spx", ".CAF", ".a_b-c"}) EXPECT_TRUE(IsUploadExtension(ok)) << ok;
  for (const char* bad :
       {"", ".", "spx", ".s/x", "./..", ".a&data=x", ".s px", ".[2F]", ".12345678901234567"})
    EXPECT_FALSE(IsUploadExtension(bad)) << bad;
}

TEST(Files, ByteRanges) {
  struct Case {
    const char* header;
    int64_t size;
    RangeResult result;
    int64_t first, last;
  } cases[] = {
      {"bytes=0-9", 100, RangeResult::kOne, 0, 9},
      {"bytes=90-", 100, RangeResult::kOne, 90, 99},
      {"bytes=90-1000", 100, RangeResult::kOne, 90, 99},
      {"bytes=-10", 100, RangeResult::kOne, 90, 99},
      {"bytes=-1000", 100, RangeResult::kOne, 0, 99},
      {"bytes=100-", 100, RangeResult::kUnsatisfiable, 0, 0},
      {"bytes=-0", 100, RangeResult::kUnsatisfiable, 0, 0},
      {"bytes=0-", 0, RangeResult::kUnsatisfiable, 0, 0},
      {"bytes=9-0", 100, RangeResult::kNone, 0, 0},
      {"bytes=0-1,5-6", 100, RangeResult::kNone, 0, 0},
      {"items=0-1", 100, RangeResult::kNone, 0, 0},
      {"Bytes=0-9", 100, RangeResult::kOne, 0, 9},
      {"BYTES = 5-", 100, RangeResult::kOne, 5, 99},
      {"bytes=a-b", 100, RangeResult::kNone, 0, 0},
      {"bytes=99999999999999999999-", 100, RangeResult::kNone, 0, 0},
  };
  for (const Case& c : cases) {
    int64_t first = 0, last = 0;
    RangeResult r = ParseRange(c.header, c.size, &first, &last);
    EXPECT_EQ(r, c.result) << c.header;
    if (r == RangeResult::kOne) {
      EXPECT_EQ(first, c.first) << c.header;
      EXPECT_EQ(last, c.last) << c.header;
    }
  }
}

// Validators and the conditional headers: dates in the three forms HTTP allows, tags
// compared weakly for If-None-Match and strongly for If-Match and If-Range, and the order
// in which the headers count.
TEST(Files, ConditionalRequests) {
  const int64_t t = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  EXPECT_EQ(HttpDate(t), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(HttpDate(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
  for (const char* form : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                           "Sun Nov  6 08:49:37 1994"}) {
    int64_t got = 0;
    EXPECT_TRUE(ParseHttpDate(form, &got)) << form;
    EXPECT_EQ(got, t) << form;
  }
  int64_t got;
  for (const char* bad : {"", "yesterday", "Sun, 06 Foo 1994 08:49:37 GMT",
                          "Sun, 06 Nov 1994 25:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 CET"})
    EXPECT_FALSE(ParseHttpDate(bad, &got)) << bad;

  const Validators v = ValidatorsOf(100, t * 1000000000 + 5);
  EXPECT_EQ(v.last_modified, "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_NE(v.etag, ValidatorsOf(101, t * 1000000000 + 5).etag);
  EXPECT_NE(v.etag, ValidatorsOf(100, t * 1000000000 + 6).etag);
  const std::string weak = "W/" + v.etag, other = "\"other\"";
  const std::string before = "Sun, 06 Nov 1994 08:49:36 GMT";
  struct Case {
    std::string if_match, if_unmodified, if_none, if_modified;
    bool get;
    Precondition want;
  };
  const Case cases[] = {
      {"", "", "", "", true, Precondition::kProceed},
      {"", "", v.etag, "", true, Precondition::kNotModified},
      {"", "", other + ", " + weak, "", true, Precondition::kNotModified},
      {"", "", "*", "", true, Precondition::kNotModified},
      {"", "", other, v.last_modified, true, Precondition::kProceed},  // the tag decides
      {"", "", "", v.last_modified, true, Precondition::kNotModified},
      {"", "", "", before, true, Precondition::kProceed},
      {"", "", "", "not a date", true, Precondition::kProceed},
      {"", "", "", v.last_modified, false, Precondition::kProceed},
      {"", "", v.etag, "", false, Precondition::kFailed},
      {v.etag, "", "", "", true, Precondition::kProceed},
      {weak, "", "", "", true, Precondition::kFailed},
      {other, "", "", v.last_modified, true, Precondition::kFailed},
      {"", before, "", "", true, Precondition::kFailed},
      {"", v.last_modified, v.etag, "", true, Precondition::kNotModified},
  };
  for (const Case& c : cases) {
    Conditions cond{c.if_match, c.if_unmodified, c.if_none, c.if_modified, c.get};
    EXPECT_EQ(Evaluate(cond, v), c.want)
        << c.if_match << " | " << c.if_unmodified << " | " << c.if_none << " | " << c.if_modified;
  }
  EXPECT_TRUE(IfRangeHolds(v.etag, v));
  EXPECT_TRUE(IfRangeHolds(v.last_modified, v));
  EXPECT_FALSE(IfRangeHolds(weak, v));
  EXPECT_FALSE(IfRangeHolds(other, v));
  EXPECT_FALSE(IfRangeHolds(before, v));
}

TEST(Files, ContentTypes) {
  EXPECT_EQ(ContentTypeFor("/x/hvr_1.wav"), "audio/wav");
  EXPECT_EQ(ContentTypeFor("/x/hvr_1.CAF"), "audio/x-caf");
  EXPECT_EQ(ContentTypeFor("a.pdf"), "application/pdf");
  EXPECT_EQ(ContentTypeFor("a.txt"), "text/plain; charset=windows-1252");
  EXPECT_EQ(ContentTypeFor("/x.y/noext"), "application/octet-stream");
}

// A hostile client's paths: nothing outside www, no folder listing, no hidden file.
TEST(Files, StaticFilesStayInsideWww) {
  TempDir dir;
  const std::string www = dir.path() + "/www";
  fs::create_directories(www + "/css");
  fs::create_directories(www + "/empty");
  WriteAll(www + "/index.html", "start");
  WriteAll(www + "/css/site.css", "css");
  WriteAll(www + "/css/index.html", "css index");
  WriteAll(www + "/.hidden", "secret");
  WriteAll(dir.path() + "/outside.txt", "outside");
#ifndef _WIN32
  fs::create_symlink(dir.path() + "/outside.txt", www + "/link.txt");
  fs::create_symlink(dir.path(), www + "/up");
  fs::create_symlink(www + "/css/site.css", www + "/inner.css");
#endif
  const std::string real = RealFolder(www);
  EXPECT_EQ(StaticFile(real, "/"), real + "/index.html");
  EXPECT_EQ(StaticFile(real, "/css/site.css"), real + "/css/site.css");
  EXPECT_EQ(StaticFile(real, "/css"), real + "/css/index.html");
  EXPECT_EQ(StaticFile(real, "/c%73s/site.css"), real + "/css/site.css");
#ifndef _WIN32
  EXPECT_EQ(StaticFile(real, "/inner.css"), real + "/css/site.css");  // a link inside
#endif
  // A stream of a file, a device, a drive: names Windows reads its own way.
  for (const char* bad : {"/index.html::$DATA", "/index.html%3a%3a$DATA", "/CON", "/css/NUL",
                          "/C:/Windows/win.ini", "/%43%3a/Windows/win.ini"})
    EXPECT_EQ(StaticFile(real, bad), "") << bad;
  for (const char* bad :
       {"/../outside.txt", "/%2e%2e/outside.txt", "/css/%2E%2E/%2e%2e/outside.txt", "/./index.html",
        "/link.txt", "/up/outside.txt", "/.hidden", "/empty", "/empty/", "/index.html%00.png",
        "/css%2f..%2f..%2foutside.txt", "//etc/passwd", "/..%5coutside.txt", "/missing",
        "index.html", "/%zz", "/%2"})
    EXPECT_EQ(StaticFile(real, bad), "") << bad;
}

// The rights list: only its entries, only while fresh, only inside the allowed folders.
TEST(Files, RightsListAndResolution) {
  TempDir dir;
  const std::string spool = dir.path() + "/IsapiHalvero";
  fs::create_directories(spool + "/rights");
  fs::create_directories(spool + "/cache");
  fs::create_directories(dir.path() + "/Archives/Dupont Jean");
  WriteAll(spool + "/cache/hvr_12.notes jointes.txt", "notes");
  WriteAll(spool + "/cache/hvr_12.caf", "caf");
  WriteAll(dir.path() + "/Archives/Dupont Jean/L\xE9.pdf", "pdf");
  WriteAll(dir.path() + "/secret.txt", "secret");
#ifndef _WIN32
  fs::create_symlink(dir.path() + "/secret.txt", spool + "/cache/hvr_12.wav");
#endif
  // Entries as Guichet writes them: lower case and encoded.
  const std::string cache = dir.path() + "/guichet/../isapihalvero/cache/";
  WriteAll(spool + "/rights/~abc123.lst",
           cache + "hvr_12.notes[20]jointes.txt\r\n" + cache + "hvr_12.caf\r\n" + cache +
               "hvr_12.wav\r\n" + dir.path() + "/Archives/Dupont[20]Jean/L[E9].pdf\r\n" + cache +
               "../../secret.txt\r\n");
  fs::create_directories(dir.path() + "/Guichet");
  const time_t now = time(nullptr);
  const std::vector<std::string> roots = {RealFolder(spool + "/cache"),
                                          RealFolder(dir.path() + "/Archives")};
  std::string plain;
  // Encoded as the answer shows it, or plain.
  ASSERT_TRUE(
      RightsAllow(spool + "/rights", "abc123", cache + "hvr_12.notes[20]jointes.txt", now, &plain));
  EXPECT_EQ(ResolveInside(plain, roots), roots[0] + "/hvr_12.notes jointes.txt");
  ASSERT_TRUE(
      RightsAllow(spool + "/rights", "abc123", cache + "hvr_12.notes jointes.txt", now, &plain));
  ASSERT_TRUE(RightsAllow(spool + "/rights", "abc123",
                          dir.path() + "/Archives/Dupont Jean/L\xE9.pdf", now, &plain));
  EXPECT_EQ(ResolveInside(plain, roots), roots[1] + "/Dupont Jean/L\xE9.pdf");
  // Listed, but a link out of the cache, or a path out of it.
#ifndef _WIN32
  ASSERT_TRUE(RightsAllow(spool + "/rights", "abc123", cache + "hvr_12.wav", now, &plain));
  EXPECT_EQ(ResolveInside(plain, roots), "");
#endif
  ASSERT_TRUE(RightsAllow(spool + "/rights", "abc123", cache + "../../secret.txt", now, &plain));
  EXPECT_EQ(ResolveInside(plain, roots), "");
  // Not listed; another token; a token that is a path; a stale list.
  EXPECT_FALSE(RightsAllow(spool + "/rights", "abc123", cache + "hvr_13.caf", now, &plain));
  EXPECT_FALSE(RightsAllow(spool + "/rights", "abc124", cache + "hvr_12.caf", now, &plain));
  EXPECT_FALSE(
      RightsAllow(spool + "/rights", "../rights/~abc123", cache + "hvr_12.caf", now, &plain));
  EXPECT_FALSE(RightsAllow(spool + "/rights", "abc123", "", now, &plain));
  EXPECT_TRUE(RightsAllow(spool + "/rights", "abc123", cache + "hvr_12.caf", now, &plain));
  EXPECT_FALSE(
      RightsAllow(spool + "/rights", "abc123", cache + "hvr_12.caf", now + 25 * 3600, &plain));
  // Opened: regular files inside the roots only.
  int64_t size = 0;
  os::File file = OpenInside(roots[0] + "/hvr_12.caf", roots, &size);
  ASSERT_TRUE(file.is_open());
  EXPECT_EQ(size, 3);
  char buf[8] = {};
  EXPECT_EQ(file.ReadAt(buf, sizeof buf, 1), 2);
  EXPECT_EQ(std::string(buf, 2), "af");
  file.Close();
#ifndef _WIN32
  EXPECT_FALSE(OpenInside(roots[0] + "/hvr_12.wav", roots, &size).is_open());
#endif
  EXPECT_FALSE(OpenInside(dir.path() + "/secret.txt", roots, &size).is_open());
  EXPECT_FALSE(OpenInside(roots[0], roots, &size).is_open());
}

// The system's notices of the spool: a name that comes into out/ and one that leaves in/,
// each handed to the event loop once it happened.
TEST(Watch, NamesThatComeAndGo) {
  TempDir dir;
  const std::string in = dir.path() + "/in", out = dir.path() + "/out";
  test::MakeDirs(in);
  test::MakeDirs(out);
  WriteAll(in + "/w1.req", "request");
  WriteAll(in + "/other.txt", "");
  boost::asio::io_context io;
  auto busy = boost::asio::make_work_guard(io);  // as the server's own work keeps it
  std::vector<std::string> seen;
  int overflows = 0;
  os::FolderWatch watch(
      io,
      [&](bool from_in, std::string_view name) {
        seen.push_back((from_in ? "in:" : "out:") + std::string(name));
      },
      [&] { ++overflows; });
  ASSERT_TRUE(watch.Start(in, out));
  EXPECT_TRUE(watch.running());
  auto wait_for = [&](const std::string& what) {
    for (int i = 0; i < 400; ++i) {  // at most 20 s: a guard, not a measure
      io.run_for(std::chrono::milliseconds(50));
      if (std::find(seen.begin(), seen.end(), what) != seen.end()) return true;
    }
    return false;
  };
  WriteAll(out + "/.w1.rdy.tmp", "");
  std::filesystem::rename(test::NativePath(out + "/.w1.rdy.tmp"),
                          test::NativePath(out + "/w1.rdy"));
  EXPECT_TRUE(wait_for("out:w1.rdy"));
  std::filesystem::remove(test::NativePath(in + "/w1.req"));
  EXPECT_TRUE(wait_for("in:w1.req"));
  // A file written into in/ is no answer of anything.
  for (const std::string& s : seen) EXPECT_NE(s, "in:other.txt");
  EXPECT_EQ(overflows, 0);
}

// What the front end remembers of sessions, across a reload of its file: sessions live
// 24 hours from their last use, numbers belong to one session, a log-off is final even
// while Guichet's own record still lists the token, and Guichet's record vouches for a
// token the front end never saw only until its expiry.
TEST(Sessions, RememberedAcrossARestart) {
  TempDir dir;
  const std::string file = dir.path() + "/sessions", lastlogons = dir.path() + "/lastlogons";
  const time_t t0 = time(nullptr);
  const DateTime local = Env::Default()->Now();
  char later[32], earlier[32];
  const DateTime in_an_hour = local.AddHours(1), an_hour_ago = local.AddHours(-1);
  snprintf(later, sizeof later, "%02d/%02d/%04d %02d:%02d", in_an_hour.day, in_an_hour.month,
           in_an_hour.year, in_an_hour.hour, in_an_hour.minute);
  snprintf(earlier, sizeof earlier, "%02d/%02d/%04d %02d:%02d", an_hour_ago.day, an_hour_ago.month,
           an_hour_ago.year, an_hour_ago.hour, an_hour_ago.minute);
  WriteAll(lastlogons, std::string("off;anna;") + later + "\r\nknown;bob;" + later +
                           "\r\nstale;carl;" + earlier + "\r\n");
  {
    SessionStore s(file, lastlogons);
    s.LogOn("anna1", {"anna", "Anna A.", "Cardio"}, t0);
    s.LogOn("off", {}, t0);
    s.Grant("12", "anna1");
    s.Grant("13", "off");
    s.LogOff("off", t0);
    EXPECT_EQ(s.last_error(), 0);
  }
  SessionStore s(file, lastlogons);
  s.Load(t0 + 60);
  const SessionInfo* anna = s.Find("anna1", t0 + 60);
  ASSERT_NE(anna, nullptr);
  EXPECT_EQ(anna->name, "Anna A.");
  EXPECT_EQ(anna->service, "Cardio");
  EXPECT_TRUE(s.Owns("12", "anna1"));
  EXPECT_FALSE(s.Owns("12", "off"));
  EXPECT_FALSE(s.Owns("13", "off"));
  EXPECT_EQ(s.Find("off", t0 + 60), nullptr);    // logged off here, listed by Guichet
  EXPECT_NE(s.Find("known", t0 + 60), nullptr);  // Guichet vouches for it
  EXPECT_EQ(s.Find("stale", t0 + 60), nullptr);  // Guichet's expiry has passed
  EXPECT_EQ(s.Find("nobody", t0 + 60), nullptr);
  EXPECT_EQ(s.Find("../x", t0 + 60), nullptr);
  // A day without use ends the session, and its numbers with it.
  EXPECT_EQ(s.Find("anna1", t0 + 60 + SessionStore::kLifetime), nullptr);
  s.LogOn("other", {}, t0 + 60 + SessionStore::kLifetime);
  EXPECT_FALSE(s.Owns("12", "anna1"));
}

}  // namespace
}  // namespace guichet::web
