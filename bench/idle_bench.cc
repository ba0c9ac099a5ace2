// The cost of an idle tick: the real executable, headless, in a site whose "out" folder
// holds 20,000 answers waiting to be collected and nothing to do, measured by the CPU
// time the process used (the scheduler's count from /proc) over a minute, per tick. Once with an
// empty "in" folder, once with the 10,000 answered requests still there. Beside it, the
// least a tick must ask the system (one stat of each spool folder), in the same run.
//
//   idle_bench [--seconds S] [FOLDER]   (default: 60 seconds in /dev/shm)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

void Put(const std::string& path, const std::string& data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
    std::perror(path.c_str());
    std::exit(1);
  }
  close(fd);
}

// CPU seconds the process has used so far (the scheduler's count, in nanoseconds).
double CpuOf(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/schedstat");
  long long ns = 0;
  f >> ns;
  return ns / 1e9;
}

double IdleTickCpu(const std::string& base, bool requests_too, int seconds) {
  std::string tmpl = base + "/guichet-idle-XXXXXX";
  const std::string root = mkdtemp(tmpl.data());
  const std::string in = root + "/IsapiHalvero/in", out = root + "/IsapiHalvero/out";
  fs::create_directories(root + "/Guichet");
  fs::create_directories(in);
  fs::create_directories(out);
  fs::create_directories(root + "/Tasks");
  for (int i = 0; i < 10000; ++i) {
    const std::string b = "r" + std::to_string(i);
    Put(out + "/" + b + ".htm", "<html></html>\r\n");
    Put(out + "/" + b + ".rdy", "0\r\n");
    if (requests_too) Put(in + "/" + b + ".req", "/portail.hv\r\nx\r\nmenu\r\n\r\n\r\n\r\n");
  }
  fs::copy_file(std::string(GUICHET_BINARY_DIR) + "/guichet", root + "/Guichet/guichet");
  std::error_code ec;
  fs::copy_file(std::string(GUICHET_BINARY_DIR) + "/Radiveve.so", root + "/Guichet/Radiveve.so",
                ec);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    unsetenv("DISPLAY");
    const std::string exe = root + "/Guichet/guichet";
    execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Start-up and the first ticks (which learn the folders) are left out.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const double cpu0 = CpuOf(pid);
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu1 = CpuOf(pid);
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  fs::remove_all(root, ec);
  // One tick a second, plus the time the ticks themselves take.
  const double ticks = wall / (1.0 + (cpu1 - cpu0) / wall);
  return (cpu1 - cpu0) / ticks;
}

// The least a tick asks: whether either spool folder changed.
double PlainTick(const std::string& base) {
  const std::string a = base, b = base + "/..";
  struct stat st;
  const int n = 200000;
  auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    stat(a.c_str(), &st);
    stat(b.c_str(), &st);
  }
  return std::chrono::duration<double>(Clock::now() - t0).count() / n;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  std::string base = "/dev/shm";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else {
      base = a;
    }
  }
  double load[1] = {0};
  getloadavg(load, 1);
  const double plain = PlainTick(base);
  const double empty_in = IdleTickCpu(base, false, seconds);
  const double full_in = IdleTickCpu(base, true, seconds);
  std::printf("idle tick, 20,000 answers waiting in out/, %s, load %.2f, over %d s\n", base.c_str(),
              load[0], seconds);
  std::printf("  plain loop (stat in/ and out/) : %8.3f ms\n", plain * 1e3);
  std::printf("  guichet, in/ empty             : %8.3f ms CPU a tick (target < 2 ms)\n",
              empty_in * 1e3);
  std::printf("  guichet, 10,000 answered in in/: %8.3f ms CPU a tick (target < 2 ms)\n",
              full_in * 1e3);
  return 0;
}
