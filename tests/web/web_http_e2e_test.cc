// The front end and Guichet as two running programs in a temporary site made from the demo
// site, spoken to over real HTTP by a client inside the test (Boost.Beast), so the same
// tests run wherever the programs run: log-on and rows, a dictation uploaded and its
// attachments fetched whole and by range, static files, and the timeout without Guichet.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <ctime>
#include <filesystem>

#include "core/records.h"
#include "platform/datetime.h"
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
  explicit Client(int port) : port_(port) {
    tcp::resolver resolver(io_);
    boost::asio::connect(socket_, resolver.resolve("127.0.0.1", std::to_string(port)));
  }
  Reply Send(http::verb method, const std::string& target, const std::string& body = "",
             const std::string& type = "", const std::string& range = "",
             const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    http::request<http::string_body> req(method, target, 11);
    req.set(http::field::host, "127.0.0.1:" + std::to_string(port_));
    if (!type.empty()) req.set(http::field::content_type, type);
    if (!range.empty()) req.set(http::field::range, range);
    for (const auto& [name, value] : headers) req.set(name, value);
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
  // Sends raw bytes (a request's head and part of its body, for instance).
  void Write(std::string_view bytes) { boost::asio::write(socket_, boost::asio::buffer(bytes)); }
  Reply Read() {
    http::response_parser<http::string_body> parser;
    http::read(socket_, buffer_, parser);
    return {static_cast<int>(parser.get().result_int()), parser.get().body(), parser.get().base()};
  }

 private:
  int port_;
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
          port = ListeningPort(ReadAll(err));
          return port != 0;
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
  Reply up = client->Send(http::verb::put,
                          "/upload?idexamen=" + n + "&extension=.spx&logon=" + token, spx);
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

// ---- sessions, uploads and files that only their owner can touch ------------------------

using Headers = std::vector<std::pair<std::string, std::string>>;

class OwnedPortal : public PortalOverHttp {
 protected:
  // Each on a connection of its own: a refusal may close the connection.
  Reply Ask(http::verb method, const std::string& target, const std::string& body = "",
            const std::string& type = "", const std::string& range = "",
            const Headers& headers = {}) {
    return Client(port).Send(method, target, body, type, range, headers);
  }
  Reply Post(const std::string& target, const std::string& body, const Headers& headers,
             const std::string& type = "application/x-www-form-urlencoded") {
    return Ask(http::verb::post, target, body, type, "", headers);
  }
  // Logs on as a browser does; the cookie ("name=token") goes into *cookie.
  Reply LogOn(const std::string& form, std::string* cookie, Headers extra = {}) {
    extra.push_back({"X-Guichet", "1"});
    Reply r = Post("/session", form, extra);
    std::string set(r.headers[http::field::set_cookie]);
    if (cookie) *cookie = set.substr(0, set.find(';'));
    return r;
  }
  // The portal's own pages: the cookie and the header.
  Headers Browser(const std::string& cookie) { return {{"Cookie", cookie}, {"X-Guichet", "1"}}; }
  std::string TokenOf(const std::string& cookie) { return cookie.substr(cookie.find('=') + 1); }
  std::string Created(const std::string& cookie) {
    Reply r = Post("/portail.hv", "command=createtmp&p2=LT", Browser(cookie));
    return Trim(SplitLines(r.body).at(1));
  }
};

// A browser logs on, works with the cookie alone, survives a restart of the front end
// and logs off; files go only to a live session, and never as active content.
TEST_F(OwnedPortal, BrowserSessionFilesAndLogOff) {
  run.Start();
  StartWeb();
  // Refused: no proof of the portal's page, another site's page, a wrong password.
  EXPECT_EQ(Post("/session", "name=anna&password=dictee", {}).status, 403);
  EXPECT_EQ(
      LogOn("name=anna&password=dictee", nullptr, {{"Origin", "https://evil.example"}}).status,
      403);
  Reply wrong = LogOn("name=anna&password=wrong", nullptr);
  EXPECT_EQ(wrong.status, 401);
  EXPECT_EQ(wrong.body, "{\"error\": \"Utilisateur non reconnu\"}\n");
  // Through the TLS proxy the cookie takes the __Host- name and Secure.
  std::string secure;
  Reply tls = LogOn("name=anna&password=dictee", &secure, {{"X-Forwarded-Proto", "https"}});
  EXPECT_EQ(tls.status, 200);
  EXPECT_NE(std::string(tls.headers[http::field::set_cookie]).find("; Secure"), std::string::npos);
  EXPECT_EQ(secure.rfind("__Host-guichet_session=", 0), 0u) << secure;

  std::string cookie;
  Reply ok = LogOn("name=anna&password=dictee", &cookie);
  ASSERT_EQ(ok.status, 200) << ok.body;
  EXPECT_EQ(ok.headers[http::field::content_type], "application/json; charset=utf-8");
  const std::string who =
      "{\"id\": \"anna\", \"name\": \"anna\", \"service\": \"(Aucun)\", \"transcriber\": false}\n";
  EXPECT_EQ(ok.body, who);
  EXPECT_EQ(std::string(ok.headers[http::field::set_cookie]),
            cookie + "; Path=/; HttpOnly; SameSite=Strict");
  const std::string token = TokenOf(cookie);
  ASSERT_EQ(token.size(), 32u) << cookie;
  EXPECT_EQ(Ask(http::verb::get, "/session", "", "", "", {{"Cookie", cookie}}).body, who);
  // /portail.hv takes the cookie's token; a state change needs the header or the origin.
  EXPECT_EQ(Post("/portail.hv", "command=step", Browser(cookie)).body, "||command=step||\r\n5\r\n");
  EXPECT_EQ(Post("/portail.hv", "command=step", {{"Cookie", cookie}}).status, 403);
  EXPECT_EQ(Post("/portail.hv", "command=step",
                 {{"Cookie", cookie}, {"Origin", "http://127.0.0.1:" + std::to_string(port)}})
                .status,
            200);
  Reply unknown = Ask(http::verb::get, "/session", "", "", "",
                      {{"Cookie", "guichet_session=0123456789abcdef"}});
  EXPECT_EQ(unknown.status, 401);
  EXPECT_EQ(unknown.body, "{\"error\": \"session\"}\n");
  EXPECT_EQ(Post("/portail.hv", "command=step", Browser("guichet_session=x")).status, 401);

  // Files of the session's rights list, by the cookie: documents inline, active content
  // as an attachment, always with the restrictive headers.
  Reply rows = Post("/portail.hv", "command=archives&p2=1001", Browser(cookie));
  std::vector<std::string> lines = SplitLines(rows.body);
  ASSERT_GE(lines.size(), 2u) << rows.body;
  const std::string pdf = Trim(Extract2(lines[1], 1)) + "." + Trim(Extract2(lines[1], 2));
  const std::string cache = run.spool() + "/cache/";
  MakeDirs(cache);
  WriteAll(cache + "page.html", "<script>alert(document.cookie)</script>");
  WriteAll(cache + "image.svg", "<svg xmlns='http://www.w3.org/2000/svg'><script/></svg>");
  const std::string rights = run.spool() + "/rights/~" + token + ".lst";
  std::string listed = ReadAll(rights);
  const std::string listed_cache = run.root() + "/isapihalvero/cache/";
  for (const char* f : {"page.html", "image.svg"}) listed += listed_cache + f + "\r\n";
  WriteAll(rights, listed);
  auto fichier = [&](const std::string& f, const std::string& c) {
    return Ask(http::verb::get, "/fichier?" + FormOf({{"f", f}}), "", "", "", {{"Cookie", c}});
  };
  Reply got = fichier(pdf, cookie);
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(got.body.substr(0, 5), "%PDF-");
  EXPECT_EQ(got.headers[http::field::content_type], "application/pdf");
  EXPECT_EQ(got.headers[http::field::content_disposition], "inline");
  for (const char* f : {"page.html", "image.svg"}) {
    SCOPED_TRACE(f);
    Reply active = fichier(listed_cache + f, cookie);
    EXPECT_EQ(active.status, 200);
    EXPECT_EQ(active.headers[http::field::content_disposition].rfind("attachment", 0), 0u);
    EXPECT_EQ(active.headers[http::field::content_type], "application/octet-stream");
    EXPECT_EQ(active.headers["X-Content-Type-Options"], "nosniff");
    EXPECT_NE(active.headers["Content-Security-Policy"].find("sandbox"), std::string::npos);
    EXPECT_EQ(active.headers["Referrer-Policy"], "no-referrer");
  }

  // A restart of the front end, even a crash, keeps the session and its files.
  web.Kill();
  const std::string first_log = WebLog();
  fs::remove(NativePath(run.root() + "/web.err"));
  StartWeb();
  EXPECT_EQ(fichier(pdf, cookie).status, 200);
  EXPECT_EQ(Ask(http::verb::get, "/session", "", "", "", {{"Cookie", cookie}}).status, 200);
  // Log-off: the proof again; then the rights list is gone and the cookie opens nothing.
  EXPECT_EQ(Ask(http::verb::delete_, "/session", "", "", "", {{"Cookie", cookie}}).status, 403);
  Reply off = Ask(http::verb::delete_, "/session", "", "", "", Browser(cookie));
  EXPECT_EQ(off.status, 204);
  EXPECT_NE(std::string(off.headers[http::field::set_cookie]).find("Max-Age=0"), std::string::npos);
  client = std::make_unique<Client>(port);
  EXPECT_FALSE(Exists(rights));
  EXPECT_EQ(fichier(pdf, cookie).status, 401);
  EXPECT_EQ(Fichier(token, pdf).status, 403);
  EXPECT_EQ(Post("/portail.hv", "command=step", Browser(cookie)).status, 401);
  // A program client's log-off through the front end revokes its files the same way.
  const std::string program = Token();
  Portail({{"command", "archives"}, {"p2", "1001"}, {"logon", program}});
  EXPECT_EQ(Fichier(program, pdf).status, 200);
  Portail({{"command", "logout"}, {"logon", program}});
  EXPECT_EQ(Fichier(program, pdf).status, 403);
  EXPECT_FALSE(Exists(run.spool() + "/rights/~" + program + ".lst"));
  // Tokens and passwords never reach the log.
  const std::string log = first_log + WebLog();
  EXPECT_EQ(log.find(token), std::string::npos) << log;
  EXPECT_EQ(log.find("dictee"), std::string::npos) << log;
}

// What an outside client tried: another user's document by its number, with no session,
// with its own session, through a web page, a second writer in the middle of the
// owner's upload, and list pieces without end.
TEST_F(OwnedPortal, HostileClientCannotTouchAnotherUsersDocument) {
  run.Start();
  StartWeb();
  std::string cookie;
  ASSERT_EQ(LogOn("name=anna&password=dictee", &cookie).status, 200);
  const std::string n = Created(cookie);
  ASSERT_FALSE(n.empty());
  const std::string attacker = Token();
  auto put = [&](const std::string& query, const Headers& h, const std::string& body = "evil") {
    return Ask(http::verb::put, "/upload?idexamen=" + n + query, body, "", "", h).status;
  };
  EXPECT_EQ(put("&extension=.spx", {}), 401);
  for (const char* ext : {".spx", ".rtf", ".id", ".txt"})
    EXPECT_EQ(put(std::string("&extension=") + ext + "&logon=" + attacker, {}), 403) << ext;
  for (const char* ext : {".typedoc", ".html", ".bat", ".bin"})
    EXPECT_EQ(put(std::string("&extension=") + ext + "&logon=" + attacker, {}), 415) << ext;
  // The owner's cookie sent by another site's page, or without the portal's header.
  EXPECT_EQ(put("&extension=.spx",
                {{"Cookie", cookie}, {"Origin", "https://evil.example"}, {"X-Guichet", "1"}}),
            403);
  EXPECT_EQ(Ask(http::verb::post, "/upload", "--b\r\n", "multipart/form-data; boundary=b", "",
                {{"Cookie", cookie}})
                .status,
            403);
  const std::string piece =
      "path=&idexamen=" + n + "&extension=.spx&offset=0&length=1&encoding=hex&data=41";
  EXPECT_EQ(Post("/post", piece, {}, "text/plain").status, 401);
  EXPECT_EQ(Post("/post?logon=" + attacker, piece, {}, "text/plain").status, 403);
  EXPECT_EQ(Post("/post", piece, {{"Origin", "https://evil.example"}}, "text/plain").status, 403);
  EXPECT_TRUE(Dir("post").empty());

  // The owner's upload of 131,072 bytes; a second writer of the same document waits.
  std::string audio(131072, '\0');
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<char>((i * 7919) >> 3);
  Client owner(port);
  owner.Write("PUT /upload?idexamen=" + n + "&extension=.spx HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
              "Cookie: " + cookie + "\r\nX-Guichet: 1\r\nContent-Length: 131072\r\n\r\n" +
              audio.substr(0, 81920));
  // Its first pieces are in (Guichet may have taken them already).
  const std::string assembling = run.spool() + "/temp/hvr_" + n + ".spx";
  ASSERT_TRUE(WaitUntil([&] { return !Dir("post").empty() || Exists(assembling); }, 10000))
      << WebLog();
  EXPECT_EQ(put("&extension=.spx", Browser(cookie), std::string(1000, 'x')), 409);
  owner.Write(audio.substr(81920));
  EXPECT_EQ(owner.Read().status, 202);
  const std::string task = run.tasks() + "/hvr_" + n + ".spx";
  ASSERT_TRUE(
      WaitUntil([&] { return Exists(task) && ReadAll(task).size() == audio.size(); }, 20000));
  EXPECT_TRUE(ReadAll(task) == audio);
  ASSERT_TRUE(WaitUntil([&] { return Dir("post").empty(); }, 10000));

  // List pieces: a session, a small list, and not too many at once.
  EXPECT_EQ(Post("/post", "List=a|b|c", {}, "text/plain").status, 401);
  const std::string lists = "/post?logon=" + attacker;
  EXPECT_EQ(Post(lists, "List=" + std::string(5000, 'a'), {}, "text/plain").status, 413);
  int accepted = 0, slowed = 0;
  for (int i = 0; i < 20; ++i) {
    int status = Post(lists, "List=a" + std::to_string(i) + "|b|c", {}, "text/plain").status;
    accepted += status == 202;
    slowed += status == 429;
  }
  EXPECT_GE(accepted, 1);
  EXPECT_LE(accepted, 10);
  EXPECT_EQ(accepted + slowed, 20);
}

// ---- the transcription desk -------------------------------------------------------------

// Three dictations of the author reach Transcriptions through the move cycle; two
// transcribers of the administrator's list work on them through the desk, one refused
// while the other has a document open, and "done" carries the family to validation,
// where the author finds the typed documents.
TEST_F(OwnedPortal, TranscriptionDesk) {
  const std::string tasks = run.tasks(), trans = tasks + "/Transcriptions/anna";
  WriteAll(run.app() + "/guichet_users.txt",
           ReadAll(run.app() + "/guichet_users.txt") + "marie:m=marie\r\npaul:p=paul\r\n");
  WriteAll(run.app() + "/guichet_transcribers.txt", "; transcripteurs\r\n  marie \r\n\r\npaul\r\n");
  for (const char* n : {"41", "42", "43"}) {
    WriteAll(tasks + "/hvr_" + n + ".wav", std::string("RIFF") + n + std::string(3000, 'w'));
    WriteAll(tasks + "/hvr_" + n + ".typedoc", "LT\r\n");
  }
  run.Start();
  StartWeb();
  std::string anna, marie, paul;
  ASSERT_EQ(LogOn("name=anna&password=dictee", &anna).status, 200);
  Reply m = LogOn("name=marie&password=m", &marie);
  ASSERT_EQ(m.status, 200);
  EXPECT_NE(m.body.find("\"transcriber\": true"), std::string::npos) << m.body;
  ASSERT_EQ(LogOn("name=paul&password=p", &paul).status, 200);
  for (const char* n : {"41", "42", "43"})
    ASSERT_EQ(Post("/portail.hv", std::string("command=finished&p2=") + n, Browser(anna)).status,
              204);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return Exists(trans + "/hvr_41.finished.bat") && Exists(trans + "/hvr_42.finished.bat") &&
               Exists(trans + "/hvr_43.finished.bat");
      },
      30000));
  ASSERT_TRUE(WaitUntil(
      [&] { return !Exists(tasks + "/ToMove.txt") || ReadAll(tasks + "/ToMove.txt").empty(); },
      10000));
  // 43 is urgent; 41 is older than 42. The name is Windows-1252 on disk.
  const int64_t now = std::time(nullptr);
  SetMtime(trans + "/hvr_41.wav", now - 7200);
  SetMtime(trans + "/hvr_42.wav", now - 3600);
  WriteAll(trans + "/hvr_43.URGENT!", "");
  WriteAll(trans + "/hvr_41.id", W("Dupont Élise") + "\r\nligne 2\r\n");
#ifndef _WIN32
  // An author folder that is a link is no author.
  MakeDirs(run.root() + "/elsewhere");
  WriteAll(run.root() + "/elsewhere/hvr_9.wav", "RIFF");
  fs::create_directory_symlink(run.root() + "/elsewhere", tasks + "/Transcriptions/linked");
#endif

  auto get = [&](const std::string& target, const std::string& cookie,
                 const std::string& range = "") {
    return Ask(http::verb::get, target, "", "", range, {{"Cookie", cookie}});
  };
  auto post = [&](const std::string& what, const std::string& form, const std::string& cookie) {
    return Post("/desk/" + what, form, Browser(cookie));
  };
  auto put = [&](const std::string& query, const std::string& body, const std::string& cookie) {
    return Ask(http::verb::put, "/desk/typed?" + query, body, "application/octet-stream", "",
               Browser(cookie));
  };
  // The author is no transcriber.
  Reply refused = get("/desk/queue", anna);
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(refused.body, "{\"error\": \"R\xC3\xA9serv\xC3\xA9 aux transcripteurs\"}\n");
  EXPECT_EQ(post("open", "a=anna&n=41", anna).status, 403);
  EXPECT_EQ(Post("/desk/open", "a=anna&n=41", {{"Cookie", marie}}).status, 403);  // no header

  // The queue: urgent first, then oldest first, with what the files say.
  Reply queue = get("/desk/queue", marie);
  ASSERT_EQ(queue.status, 200);
  EXPECT_EQ(queue.headers[http::field::content_type], "application/json; charset=utf-8");
  const size_t at43 = queue.body.find("\"number\": \"43\""),
               at41 = queue.body.find("\"number\": \"41\""),
               at42 = queue.body.find("\"number\": \"42\"");
  ASSERT_NE(at42, std::string::npos) << queue.body;
  EXPECT_LT(at43, at41);
  EXPECT_LT(at41, at42);
  EXPECT_EQ(queue.body.find("linked"), std::string::npos) << queue.body;
  const std::string d41 =
      "{\"author\": \"anna\", \"number\": \"41\", \"date\": \"" +
      Format(FromUnixLocal(now - 7200), "yyyy-mm-dd hh:nn") +
      "\", \"type\": \"LT\", \"label\": \"Lettre au confr\xC3\xA8re\", \"name\": \"Dupont "
      "\xC3\x89lise\", \"urgent\": false, \"open_by\": \"\", \"open_by_me\": false, \"typed\": []}";
  EXPECT_NE(queue.body.find(d41), std::string::npos) << queue.body;

  // Marie opens 41; Paul is refused until he forces it, and the queue says who has it.
  Reply opened = post("open", "a=anna&n=41", marie);
  ASSERT_EQ(opened.status, 200) << opened.body;
  EXPECT_NE(opened.body.find("{\"name\": \"hvr_41.wav\", \"size\": 3006, \"kind\": \"audio\"}"),
            std::string::npos)
      << opened.body;
  // The move cycle's copy of the type's .rtf template is a template until typed into.
  EXPECT_NE(opened.body.find("\"hvr_41.rtf\", \"size\": " +
                             std::to_string(ReadAll(trans + "/hvr_41.rtf").size()) +
                             ", \"kind\": \"template\"}"),
            std::string::npos);
  for (const char* own : {".typedoc", ".finished.bat", ".id\""})
    EXPECT_EQ(opened.body.find(std::string("hvr_41") + own), std::string::npos) << own;
  Reply taken = post("open", "a=anna&n=41", paul);
  EXPECT_EQ(taken.status, 409);
  EXPECT_EQ(taken.body,
            "{\"error\": \"Ce document est ouvert par marie\", \"open_by\": \"marie\"}\n");
  EXPECT_EQ(put("a=anna&n=41&ext=.pdf", "%PDF-paul", paul).status, 409);
  EXPECT_EQ(post("name", "a=anna&n=41&name=Paul", paul).status, 409);
  EXPECT_EQ(post("done", "a=anna&n=41", paul).status, 409);
  EXPECT_NE(get("/desk/queue", paul).body.find("\"open_by\": \"marie\", \"open_by_me\": false"),
            std::string::npos);
  EXPECT_NE(get("/desk/queue", marie).body.find("\"open_by\": \"marie\", \"open_by_me\": true"),
            std::string::npos);
  EXPECT_EQ(post("open", "a=nobody&n=41", marie).status, 404);
  EXPECT_EQ(post("open", "a=..&n=41", marie).status, 400);

  // The dictation, whole and by range; only names of the family.
  const std::string wav = ReadAll(trans + "/hvr_41.wav");
  Reply audio = get("/desk/file?a=anna&n=41&f=HVR_41.WAV", paul);
  EXPECT_EQ(audio.status, 200);
  EXPECT_TRUE(audio.body == wav);
  EXPECT_EQ(audio.headers[http::field::content_disposition], "inline");
  Reply part = get("/desk/file?a=anna&n=41&f=hvr_41.wav", marie, "bytes=4-5");
  EXPECT_EQ(part.status, 206);
  EXPECT_EQ(part.body, "41");
  for (const char* f :
       {"hvr_42.wav", "../../../Guichet/guichet_users.txt", "hvr_41.wav/..", "hvr_41.nothing"})
    EXPECT_EQ(get(std::string("/desk/file?a=anna&n=41&f=") + UrlEncode(f), marie).status, 404) << f;
#ifndef _WIN32
  // A link at a family's name is not followed, even to a file of the same folder.
  fs::create_symlink("hvr_42.wav", trans + "/hvr_41.caf");
  EXPECT_EQ(get("/desk/file?a=anna&n=41&f=hvr_41.caf", marie).status, 404);
  fs::remove(trans + "/hvr_41.caf");
#endif

  // The typed document: a link planted at its name is replaced, its target untouched.
  const std::string pdf = "%PDF-1.4\n" + std::string(70000, 'p');
#ifndef _WIN32
  WriteAll(run.root() + "/target.txt", "untouched");
  fs::create_symlink(run.root() + "/target.txt", trans + "/hvr_41.pdf");
#endif
  WriteAll(trans + "/HVR_41.PDF", "%PDF-older");  // replaced as well
  EXPECT_EQ(put("a=anna&n=41&ext=.exe", "MZ", marie).status, 415);
  Reply typed = put("a=anna&n=41&ext=.pdf", pdf, marie);
  EXPECT_EQ(typed.status, 201);
  EXPECT_EQ(typed.body, "{\"typed\": [\"pdf\"]}\n");
  EXPECT_EQ(fs::symlink_status(NativePath(trans + "/hvr_41.pdf")).type(), fs::file_type::regular);
  EXPECT_TRUE(ReadAll(trans + "/hvr_41.pdf") == pdf);
  const std::vector<std::string> names = ListDir(trans);
  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](const std::string& f) { return EqualsNoCase(f, "hvr_41.pdf"); }),
            1);
#ifndef _WIN32
  EXPECT_EQ(ReadAll(run.root() + "/target.txt"), "untouched");
#endif
  EXPECT_EQ(put("a=anna&n=41&ext=doc", "{\\rtf1 doc}", marie).status, 201);
  // The name: Windows-1252 on disk, the other lines kept; what it cannot hold refused.
  EXPECT_EQ(post("name", "a=anna&n=41&name=" + UrlEncode("  Martin Zoé €  "), marie).status, 204);
  EXPECT_EQ(ReadAll(trans + "/hvr_41.id"), W("Martin Zoé €") + "\r\nligne 2\r\n");
  for (const char* bad : {"A\nB", "日本", "\x01"})
    EXPECT_EQ(post("name", "a=anna&n=41&name=" + UrlEncode(bad), marie).status, 400) << bad;
  for (const std::string& f : ListDir(trans)) EXPECT_NE(f[0], '~') << f;

  // Done: refused without a typed document; then the family goes to validation.
  Reply untyped = post("done", "a=anna&n=42", marie);
  EXPECT_EQ(untyped.status, 409);
  EXPECT_NE(untyped.body.find("Aucun document tap\xC3\xA9"), std::string::npos);
  Reply done = post("done", "a=anna&n=41", marie);
  ASSERT_EQ(done.status, 200) << done.body;
  EXPECT_EQ(done.body, "{\"stage\": \"Validations\"}\n");
  const std::string valid = tasks + "/Validations/anna";
  EXPECT_TRUE(ReadAll(valid + "/hvr_41.pdf") == pdf);
  for (const std::string& f : ListDir(trans)) EXPECT_EQ(f.rfind("hvr_41", 0), std::string::npos);
  EXPECT_EQ(post("done", "a=anna&n=41", marie).status, 404);

  // The author finds the typed documents of their own folder only.
  Reply own = get("/typed?n=41", anna);
  EXPECT_EQ(own.body,
            "{\"files\": [{\"name\": \"hvr_41.doc\", \"size\": 11, \"ext\": \"doc\"}, {\"name\": "
            "\"hvr_41.pdf\", \"size\": " +
                std::to_string(pdf.size()) + ", \"ext\": \"pdf\"}]}\n");
  Reply doc = get("/typed?n=41&ext=doc", anna);
  EXPECT_EQ(doc.body, "{\\rtf1 doc}");
  EXPECT_EQ(doc.headers[http::field::content_disposition].rfind("attachment", 0), 0u);
  EXPECT_EQ(get("/typed?n=41", marie).body, "{\"files\": []}\n");
  EXPECT_EQ(get("/typed?n=41&ext=doc", marie).status, 404);

  // A log-off releases the session's documents; "force" takes one over.
  ASSERT_EQ(post("open", "a=anna&n=42", paul).status, 200);
  ASSERT_EQ(post("open", "a=anna&n=43", marie).status, 200);
  EXPECT_EQ(post("open", "a=anna&n=43", paul).status, 409);
  EXPECT_EQ(post("open", "a=anna&n=43&force=1", paul).status, 200);
  EXPECT_EQ(post("close", "a=anna&n=43", marie).status, 204);  // no longer hers: no error
  EXPECT_EQ(post("open", "a=anna&n=43", marie).status, 409);
  EXPECT_EQ(Ask(http::verb::delete_, "/session", "", "", "", Browser(paul)).status, 204);
  EXPECT_EQ(post("open", "a=anna&n=42", marie).status, 200);
  EXPECT_EQ(post("open", "a=anna&n=43", marie).status, 200);
  EXPECT_EQ(get("/desk/queue", paul).status, 401);
}

}  // namespace
}  // namespace guichet::test
