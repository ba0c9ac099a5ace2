// Headless views: the console status screen and the silent view.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>

#include "platform/view.h"
#include "support/text.h"

namespace guichet {
namespace {

volatile std::sig_atomic_t g_close_signal = 0;

void OnCloseSignal(int) { g_close_signal = 1; }

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Shared by both headless views: the texts, message boxes on standard error.
class HeadlessView : public StatusView {
 public:
  void Show(FormEvents* events) override { events_ = events; }
  void SetCaption(const std::string& text) override { Change(caption_, text); }
  void SetLabel(Label label, const std::string& text) override {
    Change(labels_[static_cast<int>(label)], text);
  }
  void AddActivity(const std::string& line) override {
    activity_.push_back(line);
    if (activity_.size() > 1000) activity_.pop_front();
    dirty_ = true;
  }
  void ClearActivity() override {
    activity_.clear();
    dirty_ = true;
  }
  void MessageBox(const std::string& text) override {
    std::string line = MessageLine(text) + "\n";
    (void)!write(2, line.data(), line.size());
  }
  void Close() override {}
  void WakeOn(intptr_t handle) override { wake_ = static_cast<int>(handle); }

 protected:
  // Whether the wake descriptor can be read, waiting at most `timeout_ms` for it or for
  // standard input when `keys` is set. Sets `*key_ready` when input waits.
  bool PollWake(int timeout_ms, bool keys, bool* key_ready) {
    pollfd pfd[2] = {{wake_, POLLIN, 0}, {keys ? 0 : -1, POLLIN, 0}};
    if (poll(pfd, 2, timeout_ms) <= 0) return false;
    if (key_ready != nullptr) *key_ready = (pfd[1].revents & POLLIN) != 0;
    return (pfd[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
  }

  int wake_ = -1;
  void Change(std::string& field, const std::string& text) {
    if (field != text) field = text, dirty_ = true;
  }

  FormEvents* events_ = nullptr;
  std::string caption_ = "Guichet";
  std::string labels_[4];
  std::deque<std::string> activity_;
  bool dirty_ = true;
};

class SilentView : public HeadlessView {
 public:
  void DoEvents() override {}
  // Sleeps in one piece: a close signal or the wake descriptor cuts the sleep short, and
  // nothing else can set `stop` while it lasts (no window, no keys).
  bool WaitFor(int ms, const bool& stop) override {
    int64_t end = NowMs() + ms;
    while (!stop && !g_close_signal) {
      int64_t left = end - NowMs();
      if (left <= 0) break;
      if (PollWake(static_cast<int>(left), false, nullptr)) return true;
    }
    return false;
  }
  void Beep() override {}
};

class ConsoleView : public HeadlessView {
 public:
  ConsoleView() {
    if (tcgetattr(0, &saved_) == 0) {
      termios raw = saved_;
      raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
      raw.c_cc[VMIN] = 0;
      raw.c_cc[VTIME] = 0;
      raw_ = tcsetattr(0, TCSANOW, &raw) == 0;
    }
  }
  ~ConsoleView() override {
    if (raw_) tcsetattr(0, TCSANOW, &saved_);
  }

  void DoEvents() override {
    ReadKeys(0);
    Draw();
  }

  bool WaitFor(int ms, const bool& stop) override {
    int64_t end = NowMs() + ms;
    Draw();
    while (!stop && !g_close_signal) {
      int64_t left = end - NowMs();
      if (left <= 0) break;
      bool key = false;
      const bool woke = PollWake(static_cast<int>(std::min<int64_t>(left, 100)), true, &key);
      if (key) ReadKeys(0);
      Draw();
      if (woke) return true;
    }
    return false;
  }

  void Beep() override { (void)!write(1, "\a", 1); }

  void Close() override {
    if (raw_) tcsetattr(0, TCSANOW, &saved_);
    raw_ = false;
    (void)!write(1, "\n", 1);
  }

 private:
  void ReadKeys(int timeout_ms) {
    pollfd pfd{0, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0) return;
    char buf[64];
    ssize_t n = read(0, buf, sizeof buf);
    for (ssize_t i = 0; i < n && events_; ++i) {
      if (buf[i] == 'q' || buf[i] == 'Q') events_->cmdStop_Click();
      if (buf[i] == 'c' || buf[i] == 'C') events_->cmdClear_Click();
    }
  }

  void Draw() {
    if (!dirty_) return;
    dirty_ = false;
    std::string s = "\x1b[H\x1b[2J";
    s += ToUtf8(caption_) + "   [q] Quitter  [c] Clear\n";
    s += "POST & GET traités/handled : " + ToUtf8(labels_[0]) + "\n";
    std::string progress = labels_[1].empty() ? W("Fichiers reçus/Received files :") : labels_[1];
    s += ToUtf8(progress) + " " + ToUtf8(labels_[2]) + "  " + ToUtf8(labels_[3]) + "\n";
    s += "----\n";
    size_t first = activity_.size() > 20 ? activity_.size() - 20 : 0;
    for (size_t i = first; i < activity_.size(); ++i) s += ToUtf8(activity_[i]) + "\n";
    (void)!write(1, s.data(), s.size());
  }

  termios saved_{};
  bool raw_ = false;
};

}  // namespace

std::unique_ptr<StatusView> MakeConsoleView() { return std::make_unique<ConsoleView>(); }
std::unique_ptr<StatusView> MakeSilentView() { return std::make_unique<SilentView>(); }

void InstallCloseSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnCloseSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool CloseSignalPending() { return g_close_signal != 0; }

bool TakeCloseSignal() {
  if (!g_close_signal) return false;
  g_close_signal = 0;
  return true;
}

std::string MessageLine(const std::string& text) {
  std::string one = ReplaceAll(text, "\r\n", " ");
  for (char& c : one)
    if (c == '\r' || c == '\n') c = ' ';
  return ToUtf8(one);
}

}  // namespace guichet
