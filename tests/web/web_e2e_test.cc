// The portal through real HTTP: the real guichet and guichet-web in a temporary site made
// from the demo site, driven by curl. Dictations are made with espeak-ng, sox and speexenc;
// files that come back are compared by cmp and read by ffprobe.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "core/records.h"
#include "support/text.h"
#include "workflow/workflow_test_util.h"

#ifndef GUICHET_SOURCE_DIR
#define GUICHET_SOURCE_DIR "."
#endif

namespace guichet::test {
namespace {

namespace fs = std::filesystem;

std::string Unquote(std::string s) {
  s = Trim(s);
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
  return ReplaceAll(s, "\\", "/");
}

// Runs the "mkdir" and "move" lines of a stage batch file, as the command interpreter would.
void RunBatch(const std::string& folder, const std::string& name) {
  for (const std::string& line : SplitLines(ReadAll(folder + "/" + name))) {
    if (line.rfind("mkdir ", 0) == 0) {
      std::error_code ec;
      fs::create_directory(folder + "/" + Unquote(line.substr(6)), ec);
    } else if (line.rfind("move ", 0) == 0) {
      size_t quote = line.find('"');
      std::string pattern = Trim(line.substr(5, quote - 5));
      std::string target = folder + "/" + Unquote(line.substr(quote));
      for (const std::string& f : ListDir(folder))
        if (fs::is_regular_file(folder + "/" + f) && MatchesListPattern(f, pattern))
          fs::rename(folder + "/" + f, target + "/" + f);
    }
  }
}

// Field `n` (from 1) of a "|" row.
std::string Field(const std::string& row, int n) { return Trim(Extract2(row, n)); }

class Portal : public ::testing::Test {
 protected:
  Portal() {
    // The demo site's users, templates, catalogues and archive.
    fs::copy(std::string(GUICHET_SOURCE_DIR) + "/tools/demo-site", run.root(),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    MakeDirs(run.root() + "/www");
    WriteAll(run.root() + "/www/index.html", "<html>start</html>\n");
  }
  ~Portal() override { StopWeb(); }

  void StartWeb(std::vector<std::string> args = {}) {
    const std::string exe = BinaryDir() + "/guichet-web";
    const std::string err = run.root() + "/web.err";
    args.insert(args.begin(), {exe, "--site", run.root(), "--listen", "127.0.0.1:0"});
    web_ = fork();
    if (web_ == 0) {
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 2);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    ASSERT_TRUE(WaitUntil(
        [&] {
          port_ = ListeningPort(ReadAll(err));
          return port_ != 0;
        },
        10000));
  }
  void StopWeb() {
    if (web_ > 0) {
      kill(web_, SIGTERM);
      waitpid(web_, nullptr, 0);
      web_ = -1;
    }
  }
  std::string WebLog() { return ReadAll(run.root() + "/web.err"); }
  std::string Url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // curl's output (the body) with `args`.
  std::string Curl(const std::string& args) { return Output("curl -s -g " + args); }
  // curl with the body into `file`: the status code.
  int Code(const std::string& args, const std::string& file = "/dev/null") {
    return std::atoi(Output("curl -s -g -o " + Quote(file) + " -w '%{http_code}' " + args).c_str());
  }
  std::string Form(const std::string& fields) {
    std::string a;
    for (const std::string& f : Split(fields, '&')) a += " --data-urlencode " + Quote(f);
    return a + " " + Quote(Url("/portail.hv"));
  }
  std::string Token() {
    std::string rows = Curl(Form("command=getlogon&p2=anna&p3=dictee"));
    return Trim(SplitLines(rows).at(1));
  }
  std::string Fichier(const std::string& token, const std::string& f) {
    return "-G --data-urlencode " + Quote("logon=" + token) + " --data-urlencode " +
           Quote("f=" + f) + " " + Quote(Url("/fichier"));
  }
  bool Same(const std::string& a, const std::string& b) {
    return Shell("cmp " + Quote(a) + " " + Quote(b)) == 0;
  }
  std::vector<std::string> Dir(const std::string& sub) { return ListDir(run.spool() + "/" + sub); }

  RunningGuichet run;
  pid_t web_ = -1;
  int port_ = 0;
};

TEST_F(Portal, LogOnThroughTheFormAndGetLogon) {
  run.Start();
  StartWeb();
  // The form of the start page: name and password as p2 and p3.
  std::string menu = Curl("-d command=login -d p2=anna -d p3=dictee " + Url("/portail.hv"));
  EXPECT_NE(menu.find("<h1>Menu</h1>"), std::string::npos) << menu;
  EXPECT_NE(menu.find("<b id=\"utilisateur\">anna</b>"), std::string::npos) << menu;
  // A wrong password: the log-on page with its message.
  std::string again = Curl("-d command=login -d p2=anna -d p3=wrong " + Url("/portail.hv"));
  EXPECT_NE(again.find("<h1>Connexion</h1>"), std::string::npos) << again;
  EXPECT_NE(again.find("Utilisateur&nbsp;non&nbsp;reconnu"), std::string::npos) << again;
  // The same through a query string, and as multipart: rows, with their count.
  std::string headers = Curl("-i " + Quote(Url("/portail.hv?command=getlogon&p2=anna&p3=dictee")));
  EXPECT_NE(headers.find("Content-Type: text/plain; charset=windows-1252"), std::string::npos);
  EXPECT_NE(headers.find("X-Guichet-Rows: 2"), std::string::npos) << headers;
  std::string token = Trim(SplitLines(headers).back());
  EXPECT_EQ(token.size(), 32u) << headers;
  std::string multi = Curl("-F command=getlogon -F p2=anna -F p3=wrong " + Url("/portail.hv"));
  EXPECT_NE(multi.find("(Utilisateur&nbsp;non&nbsp;reconnu)"), std::string::npos) << multi;
  // The token opens the session's commands; logout ends with the log-on page.
  std::string step = Curl(Form("command=step&logon=" + token));
  EXPECT_EQ(step, "||command=step||\r\n5\r\n");
  // A line end inside a value adds no line: no command sneaks in after the token.
  std::string sneaked = Curl(Form("logon=" + token + "\r\nstep"));
  EXPECT_NE(sneaked.find("Erreur&nbsp;de&nbsp;syntaxe"), std::string::npos) << sneaked;
  std::string out = Curl(Form("command=logout&logon=" + token));
  EXPECT_NE(out.find("<h1>Connexion</h1>"), std::string::npos) << out;
  // Everything collected and cleaned up.
  EXPECT_TRUE(Dir("in").empty());
  EXPECT_TRUE(Dir("out").empty());
  // One line a request, without passwords or tokens.
  std::string log = WebLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 8) << log;
  EXPECT_NE(log.find(" POST /portail.hv 200 "), std::string::npos) << log;
  EXPECT_NE(log.find(" GET /portail.hv 200 "), std::string::npos) << log;
  EXPECT_EQ(log.find("dictee"), std::string::npos) << log;
  EXPECT_EQ(log.find(token), std::string::npos) << log;
}

// Without inotify the slow poll alone sees the answers and the consumed requests.
TEST_F(Portal, PollAloneSeesAnswers) {
  run.Start();
  StartWeb({"--poll"});
  std::string menu = Curl("-d command=login -d p2=anna -d p3=dictee " + Url("/portail.hv"));
  EXPECT_NE(menu.find("<b id=\"utilisateur\">anna</b>"), std::string::npos) << menu;
  EXPECT_EQ(Code(Form("command=cancelled&p2=1&logon=" + Token())), 204);
  EXPECT_TRUE(Dir("in").empty());
  EXPECT_TRUE(Dir("out").empty());
}

// A dictation from upload to download: createtmp, PUT, getcaflen, finished, the move
// cycle, attachments, and the files fetched through /fichier.
TEST_F(Portal, DictationUploadedListedAndFetched) {
  REQUIRE_DICTATION();
  InstallCodec(run.app());
  // The front end first: the cache folder it serves from comes later, with Guichet.
  StartWeb();
  run.Start();
  const std::string token = Token();
  std::string rows = Curl(Form("command=createtmp&p2=LT&logon=" + token));
  const std::string n = Trim(SplitLines(rows).at(1));
  ASSERT_EQ(n, "1") << rows;
  std::string answer = Curl("-T " + Quote(Dictation()) + " " +
                            Quote(Url("/upload?idexamen=" + n + "&extension=.spx&logon=" + token)));
  std::string task = run.tasks() + "/hvr_" + n + ".spx";
  ASSERT_TRUE(WaitUntil([&] { return Exists(task); }, 10000)) << answer;
  EXPECT_TRUE(Same(task, Dictation()));
  EXPECT_EQ(Curl(Form("command=getcaflen&p2=" + n + "&logon=" + token)),
            "||command=getcaflen||\r\n0\r\n");
  // The workflow command is consumed without an answer.
  EXPECT_EQ(Code(Form("command=finished&p2=" + n + "&logon=" + token)), 204);
  const std::string trans = run.tasks() + "/Transcriptions/anna";
  ASSERT_TRUE(WaitUntil([&] { return Exists(trans + "/hvr_" + n + ".finished.bat"); }, 30000));
  // The move cycle empties the queue once every line has moved.
  const std::string queue = run.tasks() + "/ToMove.txt";
  ASSERT_TRUE(WaitUntil([&] { return !Exists(queue) || fs::file_size(queue) == 0; }, 10000));
  RunBatch(trans, "hvr_" + n + ".finished.bat");

  rows = Curl(Form("command=attachments&p2=" + n + "&logon=" + token));
  std::vector<std::string> lines = SplitLines(rows);
  ASSERT_GE(lines.size(), 2u) << rows;
  EXPECT_EQ(lines[0], "||command=attachments||");
  int fetched = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string name = Field(lines[i], 1), path = Field(lines[i], 3);
    const std::string cached = run.spool() + "/cache/" + name;
    ASSERT_TRUE(Exists(cached)) << lines[i];
    const std::string got = run.root() + "/got_" + name;
    EXPECT_EQ(Code(Fichier(token, path), got), 200) << path;
    EXPECT_TRUE(Same(got, cached)) << path;
    if (name.ends_with(".caf") || name.ends_with(".wav")) {
      EXPECT_EQ(Probe(got, "sample_rate"), "11025") << name;
      std::string type = Curl("-I " + Fichier(token, path));
      EXPECT_NE(type.find(name.ends_with(".caf") ? "audio/x-caf" : "audio/wav"), std::string::npos);
    }
    ++fetched;
  }
  EXPECT_NE(rows.find(".caf|"), std::string::npos) << rows;
  EXPECT_GE(fetched, 1);
  // A byte range, as an audio player seeks.
  const std::string caf = Field(lines[1], 3);
  const std::string part = run.root() + "/part";
  EXPECT_EQ(Code("-r 100-199 " + Fichier(token, caf), part), 206);
  EXPECT_EQ(ReadAll(part), ReadAll(run.spool() + "/cache/" + Field(lines[1], 1)).substr(100, 100));
  EXPECT_EQ(Code("-r 99999999- " + Fichier(token, caf)), 416);

  // What the session was not handed: another token, "..", a link, an absolute path.
  const std::string other = Token();
  EXPECT_EQ(Code(Fichier(other, caf)), 403);
  EXPECT_EQ(Code(Fichier("../rights/~" + token, caf)), 403);
  EXPECT_EQ(Code(Fichier(token, caf + "/../../../Guichet/guichet_users.txt")), 403);
  EXPECT_EQ(Code(Fichier(token, "/etc/passwd")), 403);
  EXPECT_EQ(Code(Fichier(token, run.app() + "/guichet_users.txt")), 403);
  // Listed, but reached through a link out of the cache, or outside the cache.
  const std::string rights = run.spool() + "/rights/~" + token + ".lst";
  const std::string cache_lower = run.root() + "/guichet/../isapihalvero/cache/";
  fs::create_symlink(run.app() + "/guichet_users.txt", run.spool() + "/cache/users.txt");
  test::WriteAll(rights, ReadAll(rights) + cache_lower + "users.txt\r\n" + cache_lower +
                             "../../Guichet/guichet_users.txt\r\n" + run.app() +
                             "/guichet_users.txt\r\n");
  for (const std::string& f :
       {cache_lower + "users.txt", cache_lower + "../../Guichet/guichet_users.txt",
        run.app() + "/guichet_users.txt"}) {
    std::string body = Curl(Fichier(token, f));
    EXPECT_EQ(Code(Fichier(token, f)), 404) << f;
    EXPECT_EQ(body.find("anna"), std::string::npos) << f;
    EXPECT_EQ(body.find(run.root()), std::string::npos) << body;
  }

  // The archive of the waiting demo document: each listed document fetched whole.
  rows = Curl(Form("command=archives&p2=1001&logon=" + token));
  lines = SplitLines(rows);
  ASSERT_GE(lines.size(), 2u) << rows;
  const std::string doc = Field(lines[1], 1) + "." + Field(lines[1], 2);
  const std::string got = run.root() + "/archived";
  EXPECT_EQ(Code(Fichier(token, doc), got), 200) << doc;
  EXPECT_EQ(Output("head -c 5 " + Quote(got)), "%PDF-");
  EXPECT_EQ(run.Stop(), 0);
}

TEST_F(Portal, LargeUploadsAssembleByteEqual) {
  run.Start();
  StartWeb();
  // Numbers handed to this session by createtmp.
  const std::string token = Token();
  auto created = [&] {
    return Trim(SplitLines(Curl(Form("command=createtmp&p2=LT&logon=" + token))).at(1));
  };
  const std::string a = created(), b = created();
  const std::string big = run.root() + "/big.bin";
  ASSERT_EQ(Shell("dd if=/dev/urandom bs=1000000 count=100 of=" + Quote(big)), 0);
  std::string answer = Curl("-T " + Quote(big) + " " +
                            Quote(Url("/upload?idexamen=" + a + "&extension=.spx&logon=" + token)));
  EXPECT_EQ(answer, "idexamen=" + a + "&extension=.spx&length=100000000&pieces=9766\n");
  // A multipart form with its file field, sent chunked: spilled, then cut.
  const std::string small = run.root() + "/small.pdf";
  ASSERT_EQ(Shell("dd if=/dev/urandom bs=123457 count=1 of=" + Quote(small)), 0);
  answer = Curl("-H 'Transfer-Encoding: chunked' -F idexamen=" + b + " -F logon=" + token + " -F " +
                Quote("file=@" + small) + " " + Quote(Url("/upload")));
  EXPECT_EQ(answer, "idexamen=" + b + "&extension=.pdf&length=123457&pieces=13\n");
  ASSERT_TRUE(WaitUntil([&] { return Exists(run.tasks() + "/hvr_" + b + ".pdf"); }, 20000));
  EXPECT_TRUE(Same(run.tasks() + "/hvr_" + b + ".pdf", small));
  ASSERT_TRUE(WaitUntil([&] { return Exists(run.tasks() + "/hvr_" + a + ".spx"); }, 240000));
  EXPECT_TRUE(Same(run.tasks() + "/hvr_" + a + ".spx", big));
  EXPECT_TRUE(Dir("post").empty());
  // Refused before anything is written.
  const std::string logon = "&logon=" + token;
  EXPECT_EQ(
      Code("-T " + Quote(small) + " " + Quote(Url("/upload?idexamen=1/2&extension=.pdf" + logon))),
      400);
  EXPECT_EQ(
      Code("-T " + Quote(small) + " " + Quote(Url("/upload?idexamen=1&extension=/x" + logon))),
      400);
  EXPECT_EQ(Code("-T " + Quote(small) + " " +
                 Quote(Url("/upload?idexamen=" + a + "&extension=.txt" + logon))),
            413);
  EXPECT_TRUE(Dir("post").empty());
  EXPECT_EQ(run.Stop(), 0);
}

// /post: one piece line a request, numbered above the pieces that wait.
TEST_F(Portal, PieceLinesPosted) {
  MakeDirs(run.spool() + "/post");
  // A piece that waits for its predecessor (offset 10): it keeps its number.
  WriteAll(
      run.spool() + "/post/7.txt",
      "path=&idexamen=5&extension=.spx&offset=10&length=1&totallength=11&encoding=hex&data=41\r\n");
  WriteAll(run.spool() + "/post/7.rdy", "");
  // A session that was handed document 60 before the front end restarted.
  const std::string now = std::to_string(time(nullptr)), tok = "tok" + now;
  WriteAll(run.spool() + "/guichet-web.sessions",
           "S " + tok + " " + now + " anna anna %\nD 60 " + tok + "\n");
  StartWeb();
  const std::string post = Url("/post?logon=" + tok);
  EXPECT_EQ(Code("--data-binary "
                 "'path=&idexamen=60&extension=.pdf&offset=0&length=3&encoding=hex&data=414243' " +
                 post),
            202);
  EXPECT_EQ(Dir("post"), (std::vector<std::string>{"7.rdy", "7.txt", "8.rdy", "8.txt"}));
  EXPECT_EQ(ReadAll(run.spool() + "/post/8.txt"),
            "path=&idexamen=60&extension=.pdf&offset=0&length=3&encoding=hex&data=414243\r\n");
  // Not a piece line, two lines, too long.
  EXPECT_EQ(Code("--data-binary 'hello' " + post), 400);
  EXPECT_EQ(Code("--data-binary $'List=a|b\\r\\nList=c' " + post), 400);
  const std::string long_line = run.root() + "/long";
  WriteAll(long_line, "List=" + std::string(70000, 'a'));
  EXPECT_EQ(Code("--data-binary @" + Quote(long_line) + " " + post), 413);
  run.Start();
  // The document is written before its piece's files go.
  ASSERT_TRUE(WaitUntil(
      [&] { return Exists(run.tasks() + "/hvr_60.pdf") && Dir("post").size() == 2; }, 10000));
  EXPECT_EQ(ReadAll(run.tasks() + "/hvr_60.pdf"), "ABC");
  EXPECT_EQ(Dir("post"), (std::vector<std::string>{"7.rdy", "7.txt"}));
}

// Without Guichet: the timeout withdraws the request; the cap refuses more; limits hold.
TEST_F(Portal, TimeoutCapAndLimits) {
  MakeDirs(run.spool());
  StartWeb({"--timeout", "2", "--max-waiting", "1", "--poll"});
  const std::string first = run.root() + "/first";
  std::thread waiting([&] { EXPECT_EQ(Code(Form("command=step&logon=x"), first), 504); });
  ASSERT_TRUE(WaitUntil([&] { return Dir("in").size() == 1; }, 5000));
  EXPECT_EQ(Code(Form("command=step&logon=y")), 503);
  waiting.join();
  EXPECT_TRUE(Dir("in").empty());
  EXPECT_TRUE(Dir("out").empty());
  // Over 64 KiB: 413, whether announced or sent chunked.
  const std::string big = run.root() + "/big.form";
  WriteAll(big, "command=step&p3=" + std::string(70000, 'a'));
  EXPECT_EQ(Code("--data-binary @" + Quote(big) + " " + Url("/portail.hv")), 413);
  EXPECT_EQ(Code("-H 'Transfer-Encoding: chunked' --data-binary @" + Quote(big) + " " +
                 Url("/portail.hv")),
            413);
  // Huge headers; methods that do not belong.
  EXPECT_EQ(Code("-H " + Quote("X-Big: " + std::string(20000, 'b')) + " " + Url("/")), 431);
  EXPECT_EQ(Code("-X DELETE " + Url("/portail.hv")), 405);
  EXPECT_EQ(Code("-X PUT " + Url("/index.html")), 405);
  EXPECT_TRUE(Dir("in").empty());
}

TEST_F(Portal, StaticFilesAndKeepAlive) {
  StartWeb();
  fs::create_symlink(run.app() + "/guichet_users.txt", run.root() + "/www/users.txt");
  WriteAll(run.root() + "/www/.secret", "secret");
  // Two requests on one connection.
  std::string v = Output("(curl -sv " + Url("/") + " " + Url("/index.html") + " 2>&1)");
  EXPECT_NE(v.find("Re-using existing connection"), std::string::npos) << v;
  EXPECT_EQ(Curl(Url("/")), "<html>start</html>\n");
  for (const char* bad : {"/../Guichet/guichet_users.txt", "/%2e%2e/Guichet/guichet_users.txt",
                          "/%2E%2E%2fGuichet%2fguichet_users.txt", "/users.txt", "/.secret",
                          "/index.html%00", "/nothing"})
    EXPECT_EQ(Code("--path-as-is " + Quote(Url(bad))), 404) << bad;
  EXPECT_EQ(Curl("--path-as-is " + Quote(Url("/../Guichet/guichet_users.txt"))).find("anna"),
            std::string::npos);
}

// A client that sends its headers too slowly is dropped; others are served meanwhile.
TEST_F(Portal, SlowClientIsDropped) {
  StartWeb({"--client-timeout", "1"});
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const char partial[] = "GET / HTTP/1.1\r\nHost: x\r\n";
  ASSERT_EQ(write(fd, partial, sizeof partial - 1), static_cast<ssize_t>(sizeof partial - 1));
  EXPECT_EQ(Curl(Url("/")), "<html>start</html>\n");
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char buf[256];
  EXPECT_EQ(read(fd, buf, sizeof buf), 0);  // closed by the server, no answer
  close(fd);
}

}  // namespace
}  // namespace guichet::test
