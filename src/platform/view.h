// What the user sees of Guichet: the main window's labels, caption and activity list,
// message boxes and the beep. The window (FLTK on X11) and the headless views (a console
// status screen on a terminal, or nothing) implement it; the Guichet state (core) keeps
// the texts and tells the view what to show.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace guichet {

// The labels of the main window that change at run time.
enum class Label { kCompte, kLabelProgression, kProgression1, kProgression2 };

// What the view reports back: the two buttons and a request to close the window.
class FormEvents {
 public:
  virtual ~FormEvents() = default;
  virtual void cmdStop_Click() = 0;   // "Quitter"
  virtual void cmdClear_Click() = 0;  // "Clear"
  // A request to close the window (window manager, SIGTERM, SIGINT).
  virtual void Form_QueryUnload() = 0;
};

class StatusView {
 public:
  virtual ~StatusView() = default;

  // Shows the main window (placed flush right, 1000 twips from the top) and keeps the
  // event sink for button clicks and close requests.
  virtual void Show(FormEvents* events) = 0;
  virtual void SetCaption(const std::string& text) = 0;
  virtual void SetLabel(Label label, const std::string& text) = 0;
  virtual void AddActivity(const std::string& line) = 0;
  virtual void ClearActivity() = 0;
  // Lets pending window events run, without blocking.
  virtual void DoEvents() = 0;
  // Runs events until `ms` milliseconds have passed, `stop` becomes true or the handle
  // given to WakeOn is ready; returns true in the last case.
  virtual bool WaitFor(int ms, const bool& stop) = 0;
  // From now on WaitFor also ends as soon as `handle` is ready: a descriptor that can be
  // read (POSIX), an event that is signalled (Windows); -1 for none. The handle stays the
  // caller's.
  virtual void WakeOn(intptr_t handle) { (void)handle; }
  // A modal message box (OK only). Headless: one line on standard error, as if OK was
  // pressed. Texts are Windows-1252.
  virtual void MessageBox(const std::string& text) = 0;
  virtual void Beep() = 0;
  // Closes the window for good.
  virtual void Close() = 0;
};

// Headless views. The console view draws the status on a terminal and reads "q"
// ("Quitter") and "c" ("Clear"); the silent view shows nothing. Both send message boxes
// to standard error. SIGTERM and SIGINT become close requests in both.
std::unique_ptr<StatusView> MakeConsoleView();
std::unique_ptr<StatusView> MakeSilentView();

// Installs the SIGTERM/SIGINT handlers; TakeCloseSignal() tells (and clears) whether one
// arrived.
void InstallCloseSignals();
bool TakeCloseSignal();
// Whether a close signal waits to be taken (leaves it there): ends the views' waits.
bool CloseSignalPending();

// One line for standard error: CR LF shown as a space, converted to UTF-8.
std::string MessageLine(const std::string& text);

}  // namespace guichet
