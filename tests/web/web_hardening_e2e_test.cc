// The front end against clients that do not play by the rules, over raw connections:
// malformed requests answered 400 and logged, validators and ranges on files, values that
// would bend the request file, requests that vanish. The real guichet-web in a temporary
// site; the spool alone stands in for Guichet where its answers do not matter.
#include <gtest/gtest.h>

#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "os.h"
#include "support/text.h"
#include "support_lib/process.h"
#include "workflow/workflow_test_util.h"

namespace guichet::test {
namespace {

namespace fs = std::filesystem;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// One raw connection: bytes out, and whatever comes back until the server closes it (or
// `wait_ms` passes).
class RawConnection {
 public:
  explicit RawConnection(int port) {
    socket_.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
  }
  void Write(std::string_view bytes) { asio::write(socket_, asio::buffer(bytes)); }
  void HalfClose() { socket_.shutdown(tcp::socket::shutdown_send); }
  void Close() { socket_.close(); }
  // Reads until the server closes; `*closed` says whether it did within `wait_ms`.
  std::string ReadAll(int wait_ms, bool* closed = nullptr) {
    std::string got;
    std::array<char, 4096> buf;
    bool eof = false;
    std::function<void()> read = [&] {
      socket_.async_read_some(asio::buffer(buf), [&](boost::system::error_code ec, size_t n) {
        got.append(buf.data(), n);
        if (ec) {
          eof = ec != asio::error::operation_aborted;
          return;
        }
        read();
      });
    };
    read();
    io_.restart();
    io_.run_for(std::chrono::milliseconds(wait_ms));
    if (!eof) {
      socket_.cancel();
      io_.restart();
      io_.run();
    }
    if (closed) *closed = eof;
    return got;
  }

 private:
  asio::io_context io_;
  tcp::socket socket_{io_};
};

int StatusOf(const std::string& answer) {
  return answer.rfind("HTTP/1.", 0) == 0 && answer.size() > 12 ? std::atoi(answer.c_str() + 9) : 0;
}
std::string HeaderOf(const std::string& answer, const std::string& name) {
  for (const std::string& line : SplitLines(answer.substr(0, answer.find("\r\n\r\n"))))
    if (line.size() > name.size() + 1 && line.compare(0, name.size() + 1, name + ":") == 0)
      return Trim(line.substr(name.size() + 1));
  return "";
}
std::string BodyOf(const std::string& answer) {
  const size_t at = answer.find("\r\n\r\n");
  return at == std::string::npos ? "" : answer.substr(at + 4);
}

class FrontEnd : public ::testing::Test {
 protected:
  FrontEnd() {
    MakeDirs(run.spool());
    MakeDirs(run.root() + "/www");
    WriteAll(run.root() + "/www/index.html", "<html>start</html>\n");
  }

  void StartWeb(std::vector<std::string> args = {}, int open_files = 0) {
    const std::string err = run.root() + "/web.err";
    fs::remove(NativePath(err));  // the log of a run before
    args.insert(args.begin(), {"--site", run.root(), "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(web.Start(BinaryDir() + "/guichet-web" + kExecutableSuffix, args, err, open_files));
    ASSERT_TRUE(WaitUntil(
        [&] {
          port = test::ListeningPort(test::ReadAll(err));
          return port != 0;
        },
        20000))
        << test::ReadAll(err);
  }
  std::string WebLog() { return test::ReadAll(run.root() + "/web.err"); }
  // One request on a connection of its own, the answer read until the server closes.
  std::string Ask(const std::string& request, int wait_ms = 3000) {
    RawConnection c(port);
    c.Write(request);
    return c.ReadAll(wait_ms);
  }
  std::vector<std::string> Dir(const std::string& sub) { return ListDir(run.spool() + "/" + sub); }

  RunningGuichet run;
  ChildProcess web;
  int port = 0;
};

// Requests whose framing cannot be trusted get a 400 (never a silent close), end their
// connection, and leave a log line.
TEST_F(FrontEnd, MalformedRequestsAnsweredAndLogged) {
  StartWeb();
  struct Case {
    const char* what;
    std::string request;
    int status;
  };
  const std::string big_query =
      "GET /portail.hv?command=step&p3=" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n";
  const Case cases[] = {
      {"length and chunked",
       "POST /portail.hv HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nTransfer-Encoding: "
       "chunked\r\n\r\n0\r\n\r\n",
       400},
      {"two lengths",
       "POST /post HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 400},
      {"bare LF", "GET / HTTP/1.1\nHost: x\n\n", 400},
      {"HTTP/0.9", "GET /\r\n\r\n", 400},
      {"HTTP/2.0 on 1.x", "GET / HTTP/2.0\r\nHost: x\r\n\r\n", 400},
      {"HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 400},
      {"no Host on 1.1", "GET / HTTP/1.1\r\n\r\n", 400},
      {"two Hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
      {"chunked not last",
       "POST /post HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n", 400},
      {"no chunked", "POST /post HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n", 400},
      {"a coding not known",
       "POST /post HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", 501},
      {"a query beyond the header limit", big_query, 414},
  };
  for (const Case& c : cases) {
    RawConnection conn(port);
    conn.Write(c.request);
    bool closed = false;
    const std::string answer = conn.ReadAll(5000, &closed);
    EXPECT_EQ(StatusOf(answer), c.status) << c.what << "\n" << answer;
    EXPECT_TRUE(closed) << c.what;
  }
  EXPECT_TRUE(Dir("in").empty());
  EXPECT_TRUE(Dir("post").empty());
  const std::string log = WebLog();
  EXPECT_GE(std::count(log.begin(), log.end(), '\n'), static_cast<long>(std::size(cases)) + 1)
      << log;
  for (const char* line : {" POST /portail.hv 400 ", " GET / 400 ", " PRI * 400 ",
                           " POST /post 501 ", " GET /portail.hv 414 "})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;

  // HTTP/1.0 with a chunked body is served (here: a value refused), then its connection
  // ends.
  RawConnection http10(port);
  http10.Write(
      "POST /portail.hv HTTP/1.0\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n\r\n"
      "6\r\np1=%01\r\n0\r\n\r\n");
  bool closed = false;
  const std::string chunked10 = http10.ReadAll(3000, &closed);
  EXPECT_EQ(StatusOf(chunked10), 400) << chunked10;
  EXPECT_EQ(HeaderOf(chunked10, "Connection"), "") << chunked10;
  EXPECT_TRUE(closed);
  // An error answer to HEAD has the headers of the GET, without a body.
  for (const char* path : {"/nothing", "/portail.hv", "/fichier?f=x"}) {
    const std::string head =
        Ask("HEAD " + std::string(path) + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_GE(StatusOf(head), 400) << head;
    EXPECT_NE(HeaderOf(head, "Content-Length"), "") << head;
    EXPECT_EQ(BodyOf(head), "") << path;
  }
  // Bytes a terminal would read as controls are escaped in the log.
  Ask(std::string("GET /\x9b\x31m\x1b[2J HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  const std::string after = WebLog();
  EXPECT_EQ(after.find('\x9b'), std::string::npos);
  EXPECT_EQ(after.find('\x1b'), std::string::npos);
  EXPECT_NE(after.find("GET /%9B1m%1B[2J 400"), std::string::npos) << after;
}

// Static files carry validators; a client holding the file gets 304; If-Range and the
// unit's case decide what a Range gives; HEAD ignores a Range.
TEST_F(FrontEnd, FilesValidatedAndRanged) {
  WriteAll(run.root() + "/www/a.txt", "0123456789");
  StartWeb();
  const std::string get = "GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
  const std::string whole = Ask(get + "\r\n");
  ASSERT_EQ(StatusOf(whole), 200) << whole;
  const std::string etag = HeaderOf(whole, "ETag"), modified = HeaderOf(whole, "Last-Modified");
  ASSERT_FALSE(etag.empty()) << whole;
  ASSERT_FALSE(modified.empty()) << whole;
  for (const std::string& cond :
       {"If-None-Match: \"x\", " + etag, "If-Modified-Since: " + modified}) {
    const std::string again = Ask(get + cond + "\r\n\r\n");
    EXPECT_EQ(StatusOf(again), 304) << cond << "\n" << again;
    EXPECT_EQ(HeaderOf(again, "ETag"), etag);
    EXPECT_EQ(HeaderOf(again, "Content-Length"), "") << again;
    EXPECT_EQ(BodyOf(again), "");
  }
  EXPECT_EQ(StatusOf(Ask(get + "If-Match: \"x\"\r\n\r\n")), 412);
  const std::string part = Ask(get + "Range: Bytes=2-4\r\nIf-Range: " + etag + "\r\n\r\n");
  EXPECT_EQ(StatusOf(part), 206) << part;
  EXPECT_EQ(BodyOf(part), "234");
  const std::string stale = Ask(get + "Range: bytes=2-4\r\nIf-Range: \"old\"\r\n\r\n");
  EXPECT_EQ(StatusOf(stale), 200);
  EXPECT_EQ(BodyOf(stale), "0123456789");
  const std::string beyond = Ask(get + "Range: bytes=10-\r\n\r\n");
  EXPECT_EQ(StatusOf(beyond), 416);
  EXPECT_EQ(HeaderOf(beyond, "Content-Range"), "bytes */10");
  const std::string head =
      Ask("HEAD /a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\nRange: bytes=10-\r\n\r\n");
  EXPECT_EQ(StatusOf(head), 200) << head;
  EXPECT_EQ(HeaderOf(head, "Content-Length"), "10");
  EXPECT_EQ(BodyOf(head), "");
}

// Values that would bend the request file are refused before it is written; a request
// that vanishes without an answer is a 204 only for the commands Guichet consumes so.
TEST_F(FrontEnd, RequestValuesAndVanishedRequests) {
  StartWeb({"--timeout", "10"});
  auto post = [&](const std::string& form) {
    return Ask(
        "POST /portail.hv HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
            std::to_string(form.size()) + "\r\n\r\n" + form,
        15000);
  };
  for (const char* form : {"command=7&logon=t&p3=one%7Ctwo&p4=three", "command=step&logon=t%00x",
                           "command=step&logon=t&p2=a%1Bb", "command=step&logon=t&p1=%9D"}) {
    const std::string answer = post(form);
    EXPECT_EQ(StatusOf(answer), 400) << form << "\n" << answer;
  }
  EXPECT_TRUE(Dir("in").empty());
  // Someone else removes the request: only the workflow commands take that as done.
  for (const auto& [command, status] :
       std::vector<std::pair<std::string, int>>{{"step", 502}, {"cancelled", 204}}) {
    std::string answer;
    std::thread client([&] { answer = post("command=" + command + "&logon=t&p2=1"); });
    ASSERT_TRUE(WaitUntil([&] { return Dir("in").size() == 1; }, 5000));
    fs::remove(NativePath(run.spool() + "/in/" + Dir("in")[0]));
    client.join();
    EXPECT_EQ(StatusOf(answer), status) << command << "\n" << answer;
    if (status == 204) {
      EXPECT_EQ(HeaderOf(answer, "Content-Length"), "") << answer;
    }
  }
}

// A request that waits for Guichet (none runs here), on a connection of its own.
std::unique_ptr<RawConnection> Waiting(int port, const std::string& form) {
  auto c = std::make_unique<RawConnection>(port);
  c->Write(
      "POST /portail.hv HTTP/1.1\r\nHost: x\r\nContent-Type: "
      "application/x-www-form-urlencoded\r\nContent-Length: " +
      std::to_string(form.size()) + "\r\n\r\n" + form);
  return c;
}

// Clients that hang up while their request waits take it back at once; requests and
// connections are capped per address and in all, below the descriptor limit, and what is
// beyond a cap gets 503 with Retry-After at once, never a wrong answer.
TEST_F(FrontEnd, HangUpsAndCaps) {
  StartWeb({"--max-waiting-per-address", "3", "--max-connections-per-address", "8"});
  std::vector<std::unique_ptr<RawConnection>> held;
  for (int i = 0; i < 3; ++i) held.push_back(Waiting(port, "command=step&logon=t"));
  ASSERT_TRUE(WaitUntil([&] { return Dir("in").size() == 3; }, 5000));
  const std::string over =
      Ask("GET /portail.hv?command=step&logon=t HTTP/1.1\r\nHost: x\r\n"
          "Connection: close\r\n\r\n");
  EXPECT_EQ(StatusOf(over), 503) << over;
  EXPECT_EQ(HeaderOf(over, "Retry-After"), "1");
  held.clear();  // all three hang up
  EXPECT_TRUE(WaitUntil([&] { return Dir("in").empty(); }, 3000)) << Dir("in").size();
  EXPECT_NE(WebLog().find(" POST /portail.hv 499 "), std::string::npos) << WebLog();
  // Eight connections from this address at most; the ninth is told at once.
  for (int i = 0; i < 8; ++i) held.push_back(std::make_unique<RawConnection>(port));
  RawConnection ninth(port);
  bool closed = false;
  const std::string refused = ninth.ReadAll(3000, &closed);
  EXPECT_EQ(StatusOf(refused), 503) << refused;
  EXPECT_EQ(HeaderOf(refused, "Retry-After"), "1");
  EXPECT_TRUE(closed);
  held.clear();
  ASSERT_TRUE(WaitUntil(
      [&] {
        return StatusOf(Ask("GET / HTTP/1.1\r\nHost: x\r\n"
                            "Connection: close\r\n\r\n")) == 200;
      },
      3000));
#ifndef _WIN32
  // 256 descriptors: the idle connections fill the cap, yet those open are served right
  // and the others refused at once.
  web.Kill();
  StartWeb({"--max-connections-per-address", "0", "--timeout", "1"}, 256);
  for (int i = 0; i < 300; ++i) held.push_back(std::make_unique<RawConnection>(port));
  std::this_thread::sleep_for(std::chrono::seconds(3));  // the refusals go in turns
  std::vector<RawConnection*> open;
  for (auto& c : held) {
    bool gone = false;
    const std::string answer = c->ReadAll(1, &gone);
    if (!gone) {
      open.push_back(c.get());
    } else {
      EXPECT_EQ(StatusOf(answer), 503) << answer;
      EXPECT_EQ(HeaderOf(answer, "Retry-After"), "1");
    }
  }
  EXPECT_EQ(open.size(), (256u - 64) / 2);
  ASSERT_GE(open.size(), 2u);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(StatusOf(Ask("GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")), 503);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  open[0]->Write("GET /index.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(StatusOf(open[0]->ReadAll(3000)), 200);
  open[1]->Write(
      "GET /portail.hv?command=step&logon=t HTTP/1.1\r\nHost: x\r\n"
      "Connection: close\r\n\r\n");
  EXPECT_EQ(StatusOf(open[1]->ReadAll(5000)), 504);  // written, awaited, withdrawn
  held.clear();
#endif
}

// Stopping takes back the waiting requests and removes the answers already on their way;
// what a killed run left is removed by the next one, and nothing of another program.
TEST_F(FrontEnd, StopAndKillLeaveNoSecrets) {
#ifdef _WIN32
  // Under wine this test spins until ctest's timeout after the front end is killed; the
  // cause is not found yet, so it runs on Linux alone for now.
  GTEST_SKIP() << "hangs under wine after the kill";
#endif
  MakeDirs(run.spool() + "/in");
  MakeDirs(run.spool() + "/out");
  const std::string live = "w" + std::to_string(web::os::ProcessId()) + "_1_0.req";
  WriteAll(run.spool() + "/in/" + live, "/portail.hv\r\n");
  WriteAll(run.spool() + "/in/other.req", "/portail.hv\r\n");
#ifndef _WIN32
  StartWeb();
  {
    auto client = Waiting(port, "command=getlogon&p2=anna&p3=secret");
    ASSERT_TRUE(WaitUntil([&] { return Dir("in").size() == 3; }, 5000));
    std::string name;
    for (const std::string& n : Dir("in"))
      if (n != live && n != "other.req") name = n.substr(0, n.size() - 4);
    web.AskToClose();
    ASSERT_TRUE(WaitUntil([&] { return !Exists(run.spool() + "/in/" + name + ".req"); }, 5000));
    // Guichet had read it: its answer comes after the request was withdrawn.
    WriteAll(run.spool() + "/out/" + name + ".htm", "||command=getlogon||\r\ntoken\r\n");
    WriteAll(run.spool() + "/out/" + name + ".rdy", "2\r\n");
    EXPECT_EQ(StatusOf(client->ReadAll(5000)), 503);
    EXPECT_EQ(web.Wait(10000), 0);
  }
  EXPECT_TRUE(Dir("out").empty()) << Dir("out")[0];
  EXPECT_EQ(Dir("in"), (std::vector<std::string>{"other.req", live}));
#endif
  StartWeb();
  auto client = Waiting(port, "command=getlogon&p2=anna&p3=secret");
  ASSERT_TRUE(WaitUntil([&] { return Dir("in").size() == 3; }, 5000));
  const std::string mine = "w" + std::to_string(web.id()) + "_99_0";
  WriteAll(run.spool() + "/out/" + mine + ".htm", "token");
  WriteAll(run.spool() + "/out/" + mine + ".rdy", "2\r\n");
  web.Kill();
  client.reset();
  StartWeb();
  EXPECT_TRUE(Dir("out").empty());
  EXPECT_EQ(Dir("in"), (std::vector<std::string>{"other.req", live}));
  EXPECT_NE(WebLog().find("removed 3 request and answer files"), std::string::npos) << WebLog();
}

}  // namespace
}  // namespace guichet::test
