// The front end's cost: the real guichet in a temporary site, asked the same command
// ("step" with an open session) by 1, 100, 1,000 and 2,000 concurrent clients, first
// written straight into the spool (request file, wait for the ready marker, read the
// answer, clean up: what the front end itself does), then through HTTP to guichet-web
// with keep-alive connections. Prints requests per second, p50/p99 latency, and the CPU
// time per request of guichet-web and of guichet (from /proc/PID/stat). Then one upload
// of --upload-mb megabytes PUT through HTTP, timed from its last byte sent to the whole
// document assembled in the tasks folder. With --upload, then uploads of that many bytes
// (PUT /upload, answered 202 once the pieces are on the disk) by 1 and 8 clients:
// uploads per second and p50/p99 latency.
//
//   web_bench [--seconds N] [--clients 1,100,1000,2000] [--upload-mb 100] [--upload BYTES]
//             [--bin DIR] [--dir DIR]
//
// --clients 0 leaves the "step" runs out; --upload-mb 0 leaves the large upload out; --bin
// takes guichet, guichet-web and Radiveve.so from DIR (another build, to compare); --dir
// makes the site in DIR (default /dev/shm, in memory, else /tmp; a folder on disk shows
// what flushes cost).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#ifndef GUICHET_BINARY_DIR
#define GUICHET_BINARY_DIR "."
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char kToken[] = "0123456789abcdef0123456789abcdef";

struct Result {
  uint64_t done = 0;
  double seconds = 0;
  std::vector<double> latencies_ms;
  double Rate() const { return seconds > 0 ? done / seconds : 0; }
  double Percentile(double p) {
    if (latencies_ms.empty()) return 0;
    std::sort(latencies_ms.begin(), latencies_ms.end());
    size_t i = std::min(latencies_ms.size() - 1, static_cast<size_t>(p * latencies_ms.size()));
    return latencies_ms[i];
  }
};

double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& cwd, const std::string& err) {
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(127);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    unsetenv("DISPLAY");
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// CPU time (user + system) of a process, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t close = s.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(s.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

const std::string kRequest = "/portail.hv\r\n" + std::string(kToken) + "\r\nstep\r\n\r\n\r\n\r\n";

// Clients writing into the spool themselves, as the front end does.
Result Direct(const std::string& spool, int clients, double seconds) {
  const std::string in = spool + "/in", out = spool + "/out";
  int ino = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(ino, out.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
  std::unordered_map<std::string, Clock::time_point> waiting;
  uint64_t counter = 0;
  Result r;
  auto ask = [&] {
    std::string name = "b" + std::to_string(++counter);
    std::string tmp = in + "/." + name + ".tmp";
    WriteFile(tmp, kRequest);
    rename(tmp.c_str(), (in + "/" + name + ".req").c_str());
    waiting[name] = Clock::now();
  };
  auto collect = [&](const std::string& name) {
    auto it = waiting.find(name);
    if (it == waiting.end()) return false;
    struct stat st;
    if (stat((out + "/" + name + ".rdy").c_str(), &st) != 0) return false;
    std::ifstream f(out + "/" + name + ".htm", std::ios::binary);
    std::string answer((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    unlink((in + "/" + name + ".req").c_str());
    unlink((out + "/" + name + ".htm").c_str());
    unlink((out + "/" + name + ".rdy").c_str());
    waiting.erase(it);
    return true;
  };
  // Completions count while the run lasts; the rate is over the run's length, the same
  // way for both kinds of client.
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  bool running = true;
  auto done = [&](const std::string& name) {
    auto it = waiting.find(name);
    const Clock::time_point sent = it == waiting.end() ? Clock::now() : it->second;
    if (!collect(name)) return;
    if (!running) return;
    r.latencies_ms.push_back(Ms(sent, Clock::now()));
    ++r.done;
    ask();
  };
  for (int i = 0; i < clients; ++i) ask();
  alignas(inotify_event) char buf[1 << 16];
  pollfd pfd{ino, POLLIN, 0};
  while (!waiting.empty()) {
    running = Clock::now() < end;
    if (!running && Clock::now() > end + std::chrono::seconds(40)) break;
    if (poll(&pfd, 1, 200) <= 0) continue;
    ssize_t n = read(ino, buf, sizeof buf);
    if (n <= 0) continue;
    running = Clock::now() < end;
    for (char* p = buf; p < buf + n;) {
      auto* e = reinterpret_cast<inotify_event*>(p);
      p += sizeof(inotify_event) + e->len;
      if (e->mask & IN_Q_OVERFLOW) {
        std::vector<std::string> names;
        for (auto& [k, v] : waiting) names.push_back(k);
        for (auto& k : names) done(k);
        continue;
      }
      std::string name = e->name;
      if (name.size() > 4 && name.ends_with(".rdy")) done(name.substr(0, name.size() - 4));
    }
  }
  r.seconds = seconds;
  close(ino);
  return r;
}

// A document number handed to the bench's session by "createtmp" through the front end,
// which lets that session alone upload into it (empty on failure).
std::string CreateTmp(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (fd >= 0) close(fd);
    return "";
  }
  const std::string body = "command=createtmp&p2=LT&logon=" + std::string(kToken);
  const std::string request =
      "POST /portail.hv HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  std::string in;
  if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buf[4096];
    for (ssize_t got; (got = read(fd, buf, sizeof buf)) > 0;)
      in.append(buf, static_cast<size_t>(got));
  }
  close(fd);
  // Headers, the blank line, "||command=createtmp||", then the number.
  size_t at = in.find("||command=createtmp||\r\n");
  if (in.compare(0, 12, "HTTP/1.1 200") != 0 || at == std::string::npos) return "";
  at += 23;
  return in.substr(at, in.find('\r', at) - at);
}

// Keep-alive HTTP clients, all on one epoll loop.
struct Conn {
  int fd = -1;
  std::string in;
  Clock::time_point sent;
  std::string number;  // the document this client uploads again and again
};

// `upload`: the size of a document each client uploads again and again (into a number of
// its own from "createtmp"), instead of asking "step"; 0 for "step".
Result Http(int port, int clients, double seconds, size_t upload = 0) {
  const std::string body = "command=step&logon=" + std::string(kToken);
  std::string request =
      "POST /portail.hv HTTP/1.1\r\nHost: bench\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  const std::string document(upload, 'x');
  const char* expected = upload ? "HTTP/1.1 202" : "HTTP/1.1 200";
  int ep = epoll_create1(EPOLL_CLOEXEC);
  std::vector<Conn> conns(clients);
  Result r;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto send_one = [&](Conn& c) {
    if (upload)
      request = "PUT /upload?idexamen=" + c.number + "&logon=" + kToken +
                "&extension=.pdf HTTP/1.1\r\nHost: bench\r\nContent-Length: " +
                std::to_string(document.size()) + "\r\n\r\n" + document;
    c.sent = Clock::now();
    c.in.clear();
    ssize_t w = write(c.fd, request.data(), request.size());
    (void)w;
  };
  for (int i = 0; i < clients; ++i) {
    if (upload && (conns[i].number = CreateTmp(port)).empty()) {
      fprintf(stderr, "createtmp: no number\n");
      exit(1);
    }
    conns[i].fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (conns[i].fd < 0 ||
        connect(conns[i].fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      perror("connect");
      exit(1);
    }
    int one = 1;
    setsockopt(conns[i].fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &ev);
  }
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  for (auto& c : conns) send_one(c);
  int outstanding = clients;
  std::vector<epoll_event> events(1024);
  char buf[1 << 16];
  while (outstanding > 0) {
    int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 200);
    if (n <= 0 && Clock::now() > end + std::chrono::seconds(40)) break;
    for (int i = 0; i < n; ++i) {
      Conn& c = conns[events[i].data.u32];
      ssize_t got = read(c.fd, buf, sizeof buf);
      if (got <= 0) {
        fprintf(stderr, "connection closed by the server\n");
        exit(1);
      }
      c.in.append(buf, static_cast<size_t>(got));
      size_t head = c.in.find("\r\n\r\n");
      if (head == std::string::npos) continue;
      size_t cl = c.in.find("Content-Length: ");
      size_t length = cl < head ? std::stoul(c.in.substr(cl + 16)) : 0;
      if (c.in.size() < head + 4 + length) continue;
      if (c.in.compare(0, 12, expected) != 0) {
        fprintf(stderr, "unexpected answer: %s\n", c.in.substr(0, 40).c_str());
        exit(1);
      }
      const auto now = Clock::now();
      if (now <= end) {
        r.latencies_ms.push_back(Ms(c.sent, now));
        ++r.done;
        send_one(c);
      } else {
        --outstanding;
      }
    }
  }
  r.seconds = seconds;
  for (auto& c : conns) close(c.fd);
  close(ep);
  return r;
}

// One upload PUT through HTTP: the milliseconds from its last byte sent to the whole
// document in the tasks folder (-1 when it never came whole within 30 s).
double Upload(int port, const std::string& tasks, int64_t megabytes) {
  const int64_t size = megabytes << 20;
  const std::string number = CreateTmp(port);
  if (number.empty()) return -1;
  const std::string doc = tasks + "/hvr_" + number + ".spx";
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  std::string head = "PUT /upload?idexamen=" + number + "&extension=.spx&logon=" + kToken +
                     " HTTP/1.1\r\nHost: bench\r\n"
                     "Content-Length: " +
                     std::to_string(size) + "\r\n\r\n";
  auto send_all = [&](const char* p, size_t n) {
    while (n > 0) {
      ssize_t w = write(fd, p, n);
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  };
  std::string chunk(1 << 20, '\0');
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + (i >> 9));
  if (!send_all(head.data(), head.size())) return -1;
  for (int64_t sent = 0; sent < size; sent += static_cast<int64_t>(chunk.size()))
    if (!send_all(chunk.data(), chunk.size())) return -1;
  const auto last_byte = Clock::now();
  // The answer (202) comes once the front end has written the last piece.
  char buf[4096];
  ssize_t got = read(fd, buf, sizeof buf);
  close(fd);
  if (got <= 0 || strncmp(buf, "HTTP/1.1 202", 12) != 0) {
    fprintf(stderr, "upload: unexpected answer\n");
    return -1;
  }
  while (Clock::now() < last_byte + std::chrono::seconds(30)) {
    struct stat st;
    if (stat(doc.c_str(), &st) == 0 && st.st_size == size) return Ms(last_byte, Clock::now());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  std::vector<int> levels = {1, 100, 1000, 2000};
  int64_t upload_mb = 100;
  size_t upload = 0;
  std::string bin_dir = GUICHET_BINARY_DIR;
  std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--seconds")) seconds = atof(argv[i + 1]);
    if (!strcmp(argv[i], "--upload-mb")) upload_mb = atoll(argv[i + 1]);
    if (!strcmp(argv[i], "--upload")) upload = static_cast<size_t>(atoll(argv[i + 1]));
    if (!strcmp(argv[i], "--bin")) bin_dir = argv[i + 1];
    if (!strcmp(argv[i], "--dir")) base = argv[i + 1];
    if (!strcmp(argv[i], "--clients")) {
      levels.clear();
      std::stringstream s(argv[i + 1]);
      std::string v;
      while (std::getline(s, v, ',')) levels.push_back(std::stoi(v));
      levels.erase(std::remove(levels.begin(), levels.end(), 0), levels.end());
    }
  }
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  signal(SIGPIPE, SIG_IGN);

  // The site: guichet and guichet-web in Guichet/, one open session.
  std::string tmpl = base + "/guichet-webbench-XXXXXX";
  const std::string root = mkdtemp(tmpl.data());
  const std::string app = root + "/Guichet", spool = root + "/IsapiHalvero";
  for (const char* d : {"/Guichet", "/IsapiHalvero", "/Tasks", "/www"})
    fs::create_directories(root + d);
  const std::string bin = fs::absolute(bin_dir).string();
  for (const char* f : {"guichet", "guichet-web", "Radiveve.so"})
    fs::copy_file(bin + "/" + f, app + "/" + f);
  time_t tomorrow = time(nullptr) + 86400;
  char expiry[32];
  strftime(expiry, sizeof expiry, "%d/%m/%Y %H:%M", localtime(&tomorrow));
  WriteFile(app + "/guichet_lastlogons.txt", std::string(kToken) + ";bench;" + expiry + "\r\n");
  pid_t guichet = Spawn({app + "/guichet"}, app, root + "/guichet.err");
  // Every client comes from 127.0.0.1, as through a reverse proxy: no cap per address.
  pid_t web = Spawn({app + "/guichet-web", "--listen", "127.0.0.1:0", "--max-waiting", "10000",
                     "--max-waiting-per-address", "10000", "--max-connections-per-address", "0"},
                    app, root + "/web.err");
  int port = 0;
  for (int i = 0; i < 200 && port == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream f(root + "/web.err");
    std::string log((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t at = log.find("listening on http://127.0.0.1:");
    // The line may be read half written: wait for its end.
    if (at != std::string::npos && log.find('\n', at) != std::string::npos)
      port = std::stoi(log.substr(at + 30));
  }
  if (port == 0 || !fs::exists(spool + "/out")) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
  }
  if (port == 0) {
    fprintf(stderr, "guichet-web did not start\n");
    return 1;
  }
  // guichet-web's log line per request goes to a file here; it counts in its CPU time.
  printf("web_bench: \"step\" with an open session, %.0f s per run (%s)\n", seconds, bin.c_str());
  printf("%8s  %-7s %10s %9s %9s %14s %14s\n", "clients", "via", "req/s", "p50 ms", "p99 ms",
         "web CPU/req", "guichet CPU/req");
  for (int c : levels) {
    Result d = Direct(spool, c, seconds);
    printf("%8d  %-7s %10.1f %9.1f %9.1f %14s\n", c, "spool", d.Rate(), d.Percentile(0.5),
           d.Percentile(0.99), "-");
    fflush(stdout);
    const double cpu0 = CpuSeconds(web), gcpu0 = CpuSeconds(guichet);
    Result h = Http(port, c, seconds);
    const double cpu = CpuSeconds(web) - cpu0, gcpu = CpuSeconds(guichet) - gcpu0;
    char per[32], gper[32];
    snprintf(per, sizeof per, "%.1f us", h.done ? cpu / h.done * 1e6 : 0.0);
    snprintf(gper, sizeof gper, "%.1f us", h.done ? gcpu / h.done * 1e6 : 0.0);
    printf("%8d  %-7s %10.1f %9.1f %9.1f %14s %14s   (%.2f of the spool's rate)\n", c, "http",
           h.Rate(), h.Percentile(0.5), h.Percentile(0.99), per, gper,
           d.Rate() > 0 ? h.Rate() / d.Rate() : 0.0);
    fflush(stdout);
  }
  if (upload_mb > 0) {
    const double ms = Upload(port, root + "/Tasks", upload_mb);
    if (ms < 0)
      printf("upload %lld MB PUT: not assembled within 30 s of its last byte\n",
             static_cast<long long>(upload_mb));
    else
      printf("upload %lld MB PUT: assembled %.1f ms after its last byte\n",
             static_cast<long long>(upload_mb), ms);
  }
  if (upload) {
    printf("uploads of %zu bytes in %s:\n%8s  %10s %9s %9s\n", upload, base.c_str(), "clients",
           "uploads/s", "p50 ms", "p99 ms");
    for (int c : {1, 8}) {
      Result u = Http(port, c, seconds, upload);
      printf("%8d  %10.1f %9.1f %9.1f\n", c, u.Rate(), u.Percentile(0.5), u.Percentile(0.99));
      fflush(stdout);
    }
  }
  kill(web, SIGTERM);
  kill(guichet, SIGTERM);
  waitpid(web, nullptr, 0);
  waitpid(guichet, nullptr, 0);
  fs::remove_all(root);
  return 0;
}
