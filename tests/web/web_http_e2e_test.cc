// The front end and Guichet as two running programs in a temporary site made from the demo
// site, spoken to over real HTTP by a client inside the test (Boost.Beast), so the same
// tests run wherever the programs run: log-on and rows, a dictation uploaded and its
// attachments fetched whole and by range, static files, and the timeout without Guichet.
#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <filesystem>

#include "core/records.h"
#include "platform/env.h"
#include "support/text.h"
#include "support_lib/process.h"
#include "workflow/workflow_test_util.h"

#ifndef GUICHET_SOURCE_DIR
#define GUICHET_SOURCE_DIR "."
#endif

namespace guichet::test {
namespace {

namespace fs = std::filesystem;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = boost::asio::ip::tcp;

struct Reply {
  int status = 0;
  std::string body;
  http::fields headers;
};

std::string UrlEncode(std::string_view s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : s) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

// "a=1&b=2" with each value encoded.
std::string FormOf(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string out;
  for (const auto& [k, v] : fields) out += (out.empty() ? "" : "&") + k + "=" + UrlEncode(v);
  return out;
}

// One keep-alive connection to the front end.
class Client {
 public:
  explicit Client(int port) {
    tcp::resolver resolver(io_);
    boost::asio::connect(socket_, resolver.resolve("127.0.0.1", std::to_string(port)));
  }
  Reply Send(http::verb method, const std::string& target, const std::string& body = "",
             const std::string& type = "", const std::string& range = "") {
    http::request<http::string_body> req(method, target, 11);
    req.set(http::field::host, "127.0.0.1");
    if (!type.empty()) req.set(http::field::content_type, type);
    if (!range.empty()) req.set(http::field::range, range);
    req.body() = body;
    req.prepare_payload();
    http::write(socket_, req);
    http::response_parser<http::string_body> parser;
    parser.body_limit(1u << 30);
    if (method == http::verb::head) parser.skip(true);
    http::read(socket_, buffer_, parser);
    Reply r;
    r.status = parser.get().result_int();
    r.body = parser.get().body();
    r.headers = parser.get().base();
    return r;
  }

 private:
  boost::asio::io_context io_;
  tcp::socket socket_{io_};
  beast::flat_buffer buffer_;
};

// Runs the "mkdir" and "move" lines of a stage batch file, as the command interpreter would.
void RunBatch(const std::string& folder, const std::string& name) {
  auto unquote = [](std::string s) {
    s = Trim(s);
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    return ReplaceAll(s, "\\", "/");
  };
  for (const std::string& line : SplitLines(ReadAll(folder + "/" + name))) {
    if (line.rfind("mkdir ", 0) == 0) {
      MakeDirs(folder + "/" + unquote(line.substr(6)));
    } else if (line.rfind("move ", 0) == 0) {
      size_t quote = line.find('"');
      std::string pattern = Trim(line.substr(5, quote - 5));
      std::string target = folder + "/" + unquote(line.substr(quote));
      for (const std::string& f : ListDir(folder))
        if (fs::is_regular_file(NativePath(folder + "/" + f)) && MatchesListPattern(f, pattern))
          fs::rename(NativePath(folder + "/" + f), NativePath(target + "/" + f));
    }
  }
}

class PortalOverHttp : public ::testing::Test {
 protected:
  PortalOverHttp() {
    fs::copy(NativePath(std::string(GUICHET_SOURCE_DIR) + "/tools/demo-site"),
             NativePath(run.root()),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    MakeDirs(run.root() + "/www");
    WriteAll(run.root() + "/www/index.html", "<html>start</html>\n");
  }

  void StartWeb(std::vector<std::string> args = {}) {
    const std::string err = run.root() + "/web.err";
    args.insert(args.begin(), {"--site", run.root(), "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(web.Start(BinaryDir() + "/guichet-web" + kExecutableSuffix, args, err));
    ASSERT_TRUE(WaitUntil(
        [&] {
          const std::string log = ReadAll(err);
          const size_t at = log.find("listening on http://127.0.0.1:");
          if (at == std::string::npos) return false;
          port = std::stoi(log.substr(at + 30));
          return true;
        },
        20000))
        << ReadAll(err);
    client = std::make_unique<Client>(port);
  }
  std::string WebLog() { return ReadAll(run.root() + "/web.err"); }

  Reply Portail(const std::vector<std::pair<std::string, std::string>>& fields) {
    return client->Send(http::verb::post, "/portail.hv", FormOf(fields),
                        "application/x-www-form-urlencoded");
  }
  std::string Token() {
    Reply r = Portail({{"command", "getlogon"}, {"p2", "anna"}, {"p3", "dictee"}});
    return Trim(SplitLines(r.body).at(1));
  }
  Reply Fichier(const std::string& token, const std::string& f, const std::string& range = "") {
    return client->Send(http::verb::get, "/fichier?" + FormOf({{"logon", token}, {"f", f}}), "", "",
                        range);
  }
  std::vector<std::string> Dir(const std::string& sub) { return ListDir(run.spool() + "/" + sub); }

  RunningGuichet run;
  ChildProcess web;
  int port = 0;
  std::unique_ptr<Client> client;
};

TEST_F(PortalOverHttp, LogOnRowsLogOutAndStaticFiles) {
  run.Start();
  StartWeb();
  Reply menu = Portail({{"command", "login"}, {"p2", "anna"}, {"p3", "dictee"}});
  EXPECT_EQ(menu.status, 200);
  EXPECT_EQ(menu.headers[http::field::content_type], "text/html; charset=windows-1252");
  EXPECT_NE(menu.body.find("<b id=\"utilisateur\">anna</b>"), std::string::npos) << menu.body;
  Reply wrong = Portail({{"command", "login"}, {"p2", "anna"}, {"p3", "wrong"}});
  EXPECT_NE(wrong.body.find("Utilisateur&nbsp;non&nbsp;reconnu"), std::string::npos);
  // Rows through a query string, on the same connection.
  Reply rows = client->Send(http::verb::get, "/portail.hv?command=getlogon&p2=anna&p3=dictee");
  EXPECT_EQ(rows.headers[http::field::content_type], "text/plain; charset=windows-1252");
  EXPECT_EQ(rows.headers["X-Guichet-Rows"], "2");
  const std::string token = Trim(SplitLines(rows.body).back());
  EXPECT_EQ(token.size(), 32u) << rows.body;
  EXPECT_EQ(Portail({{"command", "step"}, {"logon", token}}).body, "||command=step||\r\n5\r\n");
  // A line end inside a value adds no line.
  Reply sneaked = Portail({{"logon", token + "\r\nstep"}});
  EXPECT_NE(sneaked.body.find("Erreur&nbsp;de&nbsp;syntaxe"), std::string::npos) << sneaked.body;
  EXPECT_NE(Portail({{"command", "logout"}, {"logon", token}}).body.find("<h1>Connexion</h1>"),
            std::string::npos);
  EXPECT_TRUE(Dir("in").empty());
  EXPECT_TRUE(Dir("out").empty());

  // Static files: the page, and nothing hidden, outside or named the way Windows reads
  // streams and devices.
  WriteAll(run.root() + "/www/.secret", "secret");
  Reply page = client->Send(http::verb::get, "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.body, "<html>start</html>\n");
  for (const char* bad : {"/%2e%2e/Guichet/guichet_users.txt", "/.secret", "/index.html::$DATA",
                          "/index.html%3a%3a$DATA", "/CON", "/nothing", "/..%5cGuichet"})
    EXPECT_EQ(client->Send(http::verb::get, bad).status, 404) << bad;
  // One line a request, without passwords or tokens.
  const std::string log = WebLog();
  EXPECT_NE(log.find(" POST /portail.hv 200 "), std::string::npos) << log;
  EXPECT_EQ(log.find("dictee"), std::string::npos) << log;
  EXPECT_EQ(log.find(token), std::string::npos) << log;
}

// A dictation from upload to download: createtmp, PUT, finished, the move cycle,
// attachments, and the files fetched whole and by range through /fichier.
TEST_F(PortalOverHttp, DictationUploadedAndFetched) {
  REQUIRE_DICTATION();
  InstallCodec(run.app());
  StartWeb();
  run.Start();
  const std::string token = Token();
  Reply created = Portail({{"command", "createtmp"}, {"p2", "LT"}, {"logon", token}});
  const std::string n = Trim(SplitLines(created.body).at(1));
  ASSERT_EQ(n, "1") << created.body;
  const std::string spx = ReadAll(Dictation());
  Reply up = client->Send(http::verb::put, "/upload?idexamen=" + n + "&extension=.spx", spx);
  EXPECT_EQ(up.status, 202);
  EXPECT_EQ(up.body, "idexamen=1&extension=.spx&length=" + std::to_string(spx.size()) +
                         "&pieces=" + std::to_string((spx.size() + 10239) / 10240) + "\n");
  const std::string task = run.tasks() + "/hvr_" + n + ".spx";
  ASSERT_TRUE(WaitUntil([&] { return Exists(task); }, 20000));
  EXPECT_TRUE(ReadAll(task) == spx);
  EXPECT_TRUE(Dir("post").empty());
  // The workflow command is consumed without an answer.
  EXPECT_EQ(Portail({{"command", "finished"}, {"p2", n}, {"logon", token}}).status, 204);
  const std::string trans = run.tasks() + "/Transcriptions/anna";
  ASSERT_TRUE(WaitUntil([&] { return Exists(trans + "/hvr_" + n + ".finished.bat"); }, 30000));
  const std::string queue = run.tasks() + "/ToMove.txt";
  ASSERT_TRUE(WaitUntil([&] { return !Exists(queue) || ReadAll(queue).empty(); }, 10000));
  RunBatch(trans, "hvr_" + n + ".finished.bat");

  Reply listed = Portail({{"command", "attachments"}, {"p2", n}, {"logon", token}});
  std::vector<std::string> lines = SplitLines(listed.body);
  ASSERT_GE(lines.size(), 2u) << listed.body;
  EXPECT_EQ(lines[0], "||command=attachments||");
  std::string caf, caf_bytes;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string name = Trim(Extract2(lines[i], 1)), path = Trim(Extract2(lines[i], 3));
    SCOPED_TRACE(lines[i]);
    const std::string cached = ReadAll(run.spool() + "/cache/" + name);
    Reply got = Fichier(token, path);
    EXPECT_EQ(got.status, 200);
    EXPECT_TRUE(got.body == cached) << got.body.size() << " bytes, " << cached.size() << " cached";
    if (name.ends_with(".caf")) {
      EXPECT_EQ(got.headers[http::field::content_type], "audio/x-caf");
      caf = path, caf_bytes = cached;
      WriteAll(run.root() + "/got.caf", got.body);
      ExpectProbe(run.root() + "/got.caf", "sample_rate", "11025");
    }
  }
  ASSERT_GT(caf_bytes.size(), 200u) << listed.body;
  // A byte range, as an audio player seeks; one past the end.
  Reply part = Fichier(token, caf, "bytes=100-199");
  EXPECT_EQ(part.status, 206);
  EXPECT_EQ(part.headers[http::field::content_range],
            "bytes 100-199/" + std::to_string(caf_bytes.size()));
  EXPECT_TRUE(part.body == caf_bytes.substr(100, 100));
  EXPECT_EQ(Fichier(token, caf, "bytes=99999999-").status, 416);
  // What the session was not handed.
  EXPECT_EQ(Fichier(Token(), caf).status, 403);
  EXPECT_EQ(Fichier(token, caf + "/../../../Guichet/guichet_users.txt").status, 403);
  EXPECT_EQ(Fichier(token, run.app() + "/guichet_users.txt").status, 403);
  EXPECT_EQ(run.Stop(), 0);
}

// Without Guichet the timeout withdraws the request.
TEST_F(PortalOverHttp, TimeoutWithdrawsTheRequest) {
  MakeDirs(run.spool());
  StartWeb({"--timeout", "2"});
  Reply r = Portail({{"command", "step"}, {"logon", "x"}});
  EXPECT_EQ(r.status, 504);
  EXPECT_TRUE(Dir("in").empty());
  EXPECT_TRUE(Dir("out").empty());
}

}  // namespace
}  // namespace guichet::test
