#include "desktop/desktop_test_util.h"

#include <gtest/gtest.h>
// Xlib's macros (None, Bool, ...) would spoil GoogleTest's headers: Xlib after them.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

namespace guichet::test {
namespace {

namespace fs = std::filesystem;

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool OnPath(const char* tool) {
  return Shell(std::string("command -v ") + tool + " >/dev/null 2>&1 && echo yes") == "yes\n";
}

// Waits for a child; its exit code, -1 when it was killed or did not end in time.
int WaitChild(pid_t pid, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 20) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    Sleep(20);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// The private X server, for the life of the test program.
class Xvfb {
 public:
  Xvfb() {
    if (!OnPath("Xvfb")) return;
    for (int n = 90; n < 190 && display_.empty(); ++n) {
      std::string name = ":" + std::to_string(n);
      if (fs::exists("/tmp/.X" + std::to_string(n) + "-lock") ||
          fs::exists("/tmp/.X11-unix/X" + std::to_string(n)))
        continue;
      pid_ = fork();
      if (pid_ == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0), dup2(null, 1), dup2(null, 2);
        std::string screen =
            std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24";
        execlp("Xvfb", "Xvfb", name.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
               "-noreset", static_cast<char*>(nullptr));
        _exit(127);
      }
      for (int waited = 0; waited < 5000; waited += 50) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;  // taken meanwhile: next number
        if (Display* d = XOpenDisplay(name.c_str())) {
          XCloseDisplay(d);
          // Ours only if the lock names our server: two programs may have raced for n.
          if (std::atoi(ReadAll("/tmp/.X" + std::to_string(n) + "-lock").c_str()) == pid_)
            display_ = name;
          break;
        }
        Sleep(50);
      }
      if (display_.empty()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    if (display_.empty()) {
      std::fprintf(stderr, "no Xvfb display could be started\n");
      std::abort();
    }
    setenv("DISPLAY", display_.c_str(), 1);
  }
  ~Xvfb() {
    if (display_.empty()) return;
    kill(pid_, SIGTERM);
    WaitChild(pid_, 3000);
  }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// Visits every window below `parent`.
void Walk(Display* d, Window parent, const std::function<void(Window)>& visit) {
  Window r, p, *children = nullptr;
  unsigned int n = 0;
  if (!XQueryTree(d, parent, &r, &p, &children, &n)) return;
  for (unsigned int i = 0; i < n; ++i) {
    Walk(d, children[i], visit);
    visit(children[i]);
  }
  if (children) XFree(children);
}

}  // namespace

const std::string& TestDisplay() {
  static Xvfb server;
  return server.display();
}

std::string Shell(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

// XWindows ----------------------------------------------------------------------------

XWindows::XWindows(const std::vector<std::string>& windows, bool churn) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return;
  }
  std::string exe = BinaryDir() + "/xwindows";
  std::vector<std::string> args = {exe};
  if (churn) args.push_back("--churn");
  args.insert(args.end(), windows.begin(), windows.end());
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  stdin_ = in[1];
  // Ready once it said so: the server has its windows.
  std::string said;
  pollfd pfd{out[0], POLLIN, 0};
  while (said.find("ready\n") == std::string::npos && poll(&pfd, 1, 10000) > 0) {
    char buf[64];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    said.append(buf, n);
  }
  close(out[0]);
  if (said.find("ready\n") == std::string::npos) ADD_FAILURE() << "xwindows did not start";
}

XWindows::~XWindows() {
  if (stdin_ >= 0) close(stdin_);  // its cue to close the display and end
  if (pid_ > 0) WaitChild(pid_, 5000);
}

// WindowedGuichet -----------------------------------------------------------------------

WindowedGuichet::WindowedGuichet() {
  MakeDirs(app());
  MakeDirs(spool());
  MakeDirs(root() + "/Tasks");
  fs::copy_file(BinaryDir() + "/guichet", app() + "/guichet");
  std::error_code ec;
  fs::copy_file(BinaryDir() + "/Radiveve.so", app() + "/Radiveve.so", ec);
}

WindowedGuichet::~WindowedGuichet() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void WindowedGuichet::Start() {
  std::string exe = app() + "/guichet", err = root() + "/stderr.txt";
  pid_ = fork();
  if (pid_ == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));  // DISPLAY inherited
    _exit(127);
  }
}

int WindowedGuichet::WaitExit(int timeout_ms) {
  if (pid_ <= 0) return -1;
  int rc = WaitChild(pid_, timeout_ms);
  pid_ = -1;
  return rc;
}

bool WindowedGuichet::Running() {
  if (pid_ <= 0) return false;
  return waitpid(pid_, nullptr, WNOHANG) == 0;
}

void WindowedGuichet::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

std::string WindowedGuichet::Stderr() const { return ReadAll(root() + "/stderr.txt"); }

unsigned long WindowedGuichet::WaitWindow(bool main, int timeout_ms) {
  Display* d = XOpenDisplay(TestDisplay().c_str());
  if (!d) return 0;
  XErrorHandler previous = XSetErrorHandler(IgnoreXError);
  Window found = 0;
  for (int waited = 0; waited <= timeout_ms && !found; waited += 50) {
    Walk(d, DefaultRootWindow(d), [&](Window w) {
      XClassHint hint{};
      if (found || !XGetClassHint(d, w, &hint)) return;
      bool ours = hint.res_class && std::string(hint.res_class) == "Guichet";
      if (hint.res_name) XFree(hint.res_name);
      if (hint.res_class) XFree(hint.res_class);
      XWindowAttributes a{};
      if (!ours || !XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable) return;
      if ((a.width == 318 && a.height == 380) == main) found = w;
    });
    if (!found) Sleep(50);
  }
  XSync(d, False);
  XSetErrorHandler(previous);
  XCloseDisplay(d);
  return found;
}

// Outside tools -------------------------------------------------------------------------

Geometry WindowGeometry(unsigned long window) {
  std::string info = Shell("xwininfo -id " + std::to_string(window));
  auto field = [&](const std::string& name) {
    size_t at = info.find(name);
    return at == std::string::npos ? -1 : std::atoi(info.c_str() + at + name.size());
  };
  return {field("Absolute upper-left X:"), field("Absolute upper-left Y:"), field("Width:"),
          field("Height:")};
}

void SendDeleteWindow(unsigned long window) {
  Display* d = XOpenDisplay(TestDisplay().c_str());
  ASSERT_NE(d, nullptr);
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = window;
  ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
  ev.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, window, False, NoEventMask, &ev);
  XSync(d, False);
  XCloseDisplay(d);
}

namespace {

double Measure(const std::string& png, int x, int y, int w, int h, const char* fx) {
  std::string geometry = std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(x) +
                         "+" + std::to_string(y);
  return std::atof(Shell("convert '" + png + "' -crop " + geometry +
                         " +repage -colorspace Gray -format '%[fx:" + fx + "]' info:")
                       .c_str());
}

}  // namespace

double MeanBrightness(const std::string& png, int x, int y, int w, int h) {
  return Measure(png, x, y, w, h, "mean");
}

double DarkestBrightness(const std::string& png, int x, int y, int w, int h) {
  return Measure(png, x, y, w, h, "minima");
}

}  // namespace guichet::test
