// Draining a spool, measured from outside: the real executable is started headless (no
// DISPLAY, standard output not a terminal) in a site whose "in" folder already holds
// 10,000 requests, and is timed from its first ready marker to its last, watched with
// inotify. Beside it, in the same run and on the same file system, a plain loop of
// system calls does the least work one answer needs: look for the marker, open and read
// the request, write the answer, write the marker under a temporary name and rename it.
// The figure is the ratio of the two rates.
//
//   drain_bench [--requests N] [--exe GUICHET] [--strace FILE] [FOLDER...]
//
// Each FOLDER is a file system to measure on (default: /dev/shm and /var/tmp). With
// --strace, the executable runs under "strace -c -f -o FILE" (the timing then means
// nothing; the counts of FILE divided by the requests answered are the system calls per
// request, start-up included). --exe measures another build of the executable.
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::string Tag(const std::string& folder) {
  struct statfs sf;
  if (statfs(folder.c_str(), &sf) == 0 && sf.f_type == 0x01021994) return "tmpfs";
  return "disk";
}

struct Site {
  explicit Site(const std::string& base) {
    std::string tmpl = base + "/guichet-drain-XXXXXX";
    root = mkdtemp(tmpl.data());
    fs::create_directories(root + "/Guichet");
    fs::create_directories(root + "/IsapiHalvero/in");
    fs::create_directories(root + "/IsapiHalvero/out");
    fs::create_directories(root + "/Tasks");
  }
  ~Site() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string in() const { return root + "/IsapiHalvero/in"; }
  std::string out() const { return root + "/IsapiHalvero/out"; }
  std::string root;
};

// Requests of an unknown session: each is answered with an error page and its marker,
// the whole exchange with no other work.
void DropRequests(const std::string& in, int n) {
  const std::string body = "/portail.hv\r\nnosuchsession\r\nunknowncommand\r\n\r\n\r\n\r\n";
  for (int i = 0; i < n; ++i) {
    std::string name = "r" + std::to_string(i) + ".req";
    std::string tmp = in + "/." + name, path = in + "/" + name;
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) {
      std::perror(tmp.c_str());
      std::exit(1);
    }
    close(fd);
    rename(tmp.c_str(), path.c_str());
  }
}

// The plain loop: the least the exchange needs per request, on raw descriptors.
double PlainLoop(const Site& site, int n) {
  static const char page[] =
      "<HTML><HEAD><TITLE>Erreur</TITLE></HEAD><BODY><DL><DD>Erreur de syntaxe ()</DD></DL>"
      "</BODY></HTML>\r\n";
  const std::string in = site.in(), out = site.out();
  auto start = Clock::now();
  char buf[4096];
  int answered = 0;
  for (int i = n - 1; i >= 0; --i) {
    const std::string base = "r" + std::to_string(i);
    const std::string rdy = out + "/" + base + ".rdy";
    struct stat st;
    if (stat(rdy.c_str(), &st) == 0) continue;  // answered already
    const std::string req = in + "/" + base + ".req";
    int fd = open(req.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    ssize_t r = read(fd, buf, sizeof buf);
    close(fd);
    if (r <= 0) continue;
    const std::string htm = out + "/" + base + ".htm";
    fd = open(htm.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (write(fd, page, sizeof page - 1) < 0) std::perror("write");
    close(fd);
    const std::string tmp = out + "/~" + base + ".rdy.1.1";
    fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (write(fd, "0\r\n", 3) < 0) std::perror("write");
    close(fd);
    rename(tmp.c_str(), rdy.c_str());
    ++answered;
  }
  double s = Seconds(start, Clock::now());
  if (answered != n) std::printf("  (plain loop answered %d of %d)\n", answered, n);
  return s;
}

pid_t StartGuichet(const Site& site, const std::string& strace_out) {
  const std::string exe = site.root + "/Guichet/guichet";
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    unsetenv("DISPLAY");
    if (strace_out.empty()) {
      execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    } else {
      execlp("strace", "strace", "-c", "-f", "-o", strace_out.c_str(), exe.c_str(),
             static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  return pid;
}

int CountMarkers(const std::string& out) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(out))
    if (e.path().extension() == ".rdy") ++n;
  return n;
}

struct Drain {
  double seconds = 0;  // first marker to last
  int markers = 0;
  double cpu = 0;  // of the executable, start to stop
};

// Starts the executable and waits until `n` markers have appeared (or a minute without
// any), then stops it.
Drain RunGuichet(const Site& site, int n, const std::string& strace_out) {
  Drain d;
  int ino = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(ino, site.out().c_str(), IN_MOVED_TO);
  pid_t pid = StartGuichet(site, strace_out);
  Clock::time_point first{}, last{};
  alignas(struct inotify_event) char buf[1 << 16];
  bool overflow = false;
  auto progress = Clock::now();
  while (d.markers < n && Seconds(progress, Clock::now()) < 60) {
    struct timeval tv = {0, 200000};
    fd_set set;
    FD_ZERO(&set);
    FD_SET(ino, &set);
    if (select(ino + 1, &set, nullptr, nullptr, &tv) <= 0) {
      // Nothing heard: count what is there (events may have been lost).
      int now_there = CountMarkers(site.out());
      if (now_there > d.markers) {
        d.markers = now_there;
        last = progress = Clock::now();
      }
      continue;
    }
    ssize_t len = read(ino, buf, sizeof buf);
    if (len <= 0) break;
    auto now = Clock::now();
    for (char* p = buf; p < buf + len;) {
      auto* ev = reinterpret_cast<struct inotify_event*>(p);
      p += sizeof(struct inotify_event) + ev->len;
      if (ev->mask & IN_Q_OVERFLOW) overflow = true;
      if (ev->len == 0) continue;
      std::string_view name = ev->name;
      if (name.size() < 4 || name.substr(name.size() - 4) != ".rdy") continue;
      if (d.markers++ == 0) first = now;
      last = progress = now;
    }
    if (overflow) d.markers = CountMarkers(site.out());
  }
  close(ino);
  // Under strace, the executable is strace's child: stopped itself, so strace reports.
  pid_t target = pid;
  if (!strace_out.empty()) {
    std::string children =
        "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    if (FILE* f = std::fopen(children.c_str(), "r")) {
      int child = 0;
      if (std::fscanf(f, "%d", &child) == 1 && child > 0) target = child;
      std::fclose(f);
    }
  }
  kill(target, SIGTERM);
  int status;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  d.cpu =
      ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  d.seconds = Seconds(first, last);
  return d;
}

std::string g_exe = std::string(GUICHET_BINARY_DIR) + "/guichet";

void Install(const Site& site) {
  const std::string bin = GUICHET_BINARY_DIR;
  fs::copy_file(g_exe, site.root + "/Guichet/guichet");
  std::error_code ec;
  fs::copy_file(bin + "/Radiveve.so", site.root + "/Guichet/Radiveve.so", ec);
}

double LoadAverage() {
  double l[1] = {0};
  getloadavg(l, 1);
  return l[0];
}

}  // namespace

int main(int argc, char** argv) {
  int n = 10000;
  std::string strace_out;
  std::vector<std::string> folders;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--requests" && i + 1 < argc) {
      n = std::atoi(argv[++i]);
    } else if (a == "--exe" && i + 1 < argc) {
      g_exe = argv[++i];
    } else if (a == "--strace" && i + 1 < argc) {
      strace_out = argv[++i];
    } else {
      folders.push_back(a);
    }
  }
  if (folders.empty()) folders = {"/dev/shm", "/var/tmp"};

  for (const std::string& folder : folders) {
    if (!fs::is_directory(folder)) continue;
    // Every site is written before any is measured or removed, so that no pass follows
    // a mass deletion on the same file system.
    Site plain1(folder), guichet1(folder), plain2(folder), guichet2(folder);
    for (const Site* s : {&plain1, &guichet1, &plain2, &guichet2}) DropRequests(s->in(), n);
    Install(guichet1), Install(guichet2);
    sync();
    const double load = LoadAverage();
    if (!strace_out.empty()) {
      Drain d = RunGuichet(guichet1, n, strace_out);
      std::printf("%s (%s): %d markers under strace, counts in %s\n", folder.c_str(),
                  Tag(folder).c_str(), d.markers, strace_out.c_str());
      continue;
    }
    // Alternating order; the best of two of each counts.
    double plain = PlainLoop(plain1, n);
    Drain d1 = RunGuichet(guichet1, n, "");
    double plain_b = PlainLoop(plain2, n);
    Drain d2 = RunGuichet(guichet2, n, "");
    plain = std::min(plain, plain_b);
    const Drain& d = d1.seconds <= d2.seconds ? d1 : d2;
    std::printf("drain of %d waiting requests in %s (%s), load %.2f, best of two\n", n,
                folder.c_str(), Tag(folder).c_str(), load);
    std::printf("  plain system-call loop     : %8.3f s  (%8.0f requests/s)\n", plain, n / plain);
    std::printf("  guichet, first to last rdy : %8.3f s  (%8.0f requests/s, %d markers)\n",
                d.seconds, d.markers / std::max(d.seconds, 1e-9), d.markers);
    std::printf("  ratio to the plain loop    : %.2f (target >= 0.70)\n",
                (d.markers / std::max(d.seconds, 1e-9)) / (n / plain));
  }
  return 0;
}
