// How long requests wait while another program holds the lock of the move queue: the
// real executable runs in a temporary site, a second process takes the fcntl lock on
// Tasks/ToMove.txt and holds it for a while, and requests are dropped into the spool
// meanwhile: plain requests (answered with a page) every half second, and one
// "finished" of a document still in the tasks folder, whose queue append needs the lock.
// Prints the worst and the median delay of each kind, from the drop of the request file
// to its answer's ready marker (plain) or to the request file being taken (finished).
//
// Usage: queue_lock_bench [folder holding guichet and Radiveve.so] [hold seconds]
// (default: the folder of this program, 10 s).
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/datetime.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void Write(const std::string& path, const std::string& data) {
  std::string tmp =
      fs::path(path).parent_path().string() + "/." + fs::path(path).filename().string();
  std::ofstream(tmp, std::ios::binary) << data;
  fs::rename(tmp, path);
}

double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

pid_t Start(const std::string& exe) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    unsetenv("DISPLAY");
    execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// A second process that holds the queue lock for `seconds`, then ends.
pid_t HoldLock(const std::string& path, int seconds, int ready_fd) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLKW, &fl) != 0) _exit(1);
    (void)!write(ready_fd, "L", 1);
    sleep(static_cast<unsigned>(seconds));
    _exit(0);
  }
  return pid;
}

struct Pending {
  std::string name;
  bool finished;
  Clock::time_point dropped;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string from =
      argc > 1 ? argv[1] : fs::read_symlink("/proc/self/exe").parent_path().string();
  const int hold = argc > 2 ? std::atoi(argv[2]) : 10;

  char tmpl[] = "/tmp/guichet-lockbench-XXXXXX";
  const std::string root = mkdtemp(tmpl);
  const std::string app = root + "/Guichet", spool = root + "/IsapiHalvero",
                    tasks = root + "/Tasks", tpl = root + "/Templates";
  for (const std::string& d : {app, spool + "/in", spool + "/out", tasks, tpl + "/S"})
    fs::create_directories(d);
  fs::copy_file(from + "/guichet", app + "/guichet");
  fs::copy_file(from + "/Radiveve.so", app + "/Radiveve.so");
  Write(tpl + "/Services.txt", "1|S\r\n");
  Write(tpl + "/TypeDocs.txt", "1|T|Type\r\n");
  Write(tpl + "/S/Type.txt", "template");
  const std::string expiry =
      guichet::Format(guichet::FromUnixLocal(std::time(nullptr) + 86400), "dd/mm/yyyy hh:nn");
  Write(app + "/guichet_lastlogons.txt", "tok;u7;" + expiry + "\r\n");
  Write(tasks + "/hvr_42.typedoc", "T\r\n");
  // A queue line that keeps the queue non-empty, so the move cycle wants the lock.
  Write(tasks + "/ToMove.txt", "41;u7\r\n");

  pid_t guichet = Start(app + "/guichet");
  std::this_thread::sleep_for(std::chrono::seconds(2));

  int ready[2];
  if (pipe(ready) != 0) return 1;
  pid_t holder = HoldLock(tasks + "/ToMove.txt", hold, ready[1]);
  char c;
  if (read(ready[0], &c, 1) != 1) return 1;
  const Clock::time_point locked = Clock::now();

  std::vector<Pending> pending;
  std::vector<double> plain, finished;
  int n = 0;
  Clock::time_point next_drop = locked;
  bool finished_sent = false;
  int finished_at = 0;
  const Clock::time_point end_drops = locked + std::chrono::seconds(hold);
  while (!pending.empty() || Clock::now() < end_drops) {
    Clock::time_point now = Clock::now();
    if (now < end_drops && now >= next_drop) {
      const bool fin = !finished_sent && now >= locked + std::chrono::seconds(hold) / 3;
      const std::string name = "r" + std::to_string(++n);
      const std::string body = fin ? "/portail.hv\r\ntok\r\nfinished\r\n\r\n42\r\n\r\n"
                                   : "/portail.hv\r\nnone\r\nattachments\r\n\r\n42\r\n\r\n";
      Write(spool + "/in/" + name + ".req", body);
      pending.push_back({name, fin, Clock::now()});
      if (fin) finished_at = n;
      finished_sent = finished_sent || fin;
      next_drop = now + std::chrono::milliseconds(fin ? 0 : 500);
    }
    for (size_t i = 0; i < pending.size();) {
      const Pending& p = pending[i];
      // A transition that went through takes the request file and answers nothing;
      // one that failed answers with the failure page.
      bool done = fs::exists(spool + "/out/" + p.name + ".rdy") ||
                  (p.finished && !fs::exists(spool + "/in/" + p.name + ".req"));
      if (done) {
        (p.finished ? finished : plain).push_back(Ms(p.dropped, Clock::now()));
        pending.erase(pending.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
    if (Ms(locked, Clock::now()) > 1000.0 * (hold + 60)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  kill(guichet, SIGTERM);
  waitpid(guichet, nullptr, 0);
  std::sort(plain.begin(), plain.end());
  std::printf("guichet from %s, queue lock held %d s by another process\n", from.c_str(), hold);
  if (!plain.empty())
    std::printf("plain requests: %zu, worst delay %.0f ms, median %.0f ms\n", plain.size(),
                plain.back(), plain[plain.size() / 2]);
  if (!finished.empty())
    std::printf("\"finished\" (queue append): delay %.0f ms, %s\n", finished.front(),
                fs::exists(spool + "/out/r" + std::to_string(finished_at) + ".htm")
                    ? "answered with the failure page"
                    : "taken");
  std::printf("queue afterwards: %s\n",
              fs::exists(tasks + "/ToMove.txt")
                  ? std::to_string(fs::file_size(tasks + "/ToMove.txt")).append(" bytes").c_str()
                  : "gone");
  fs::remove_all(root);
  return 0;
}
