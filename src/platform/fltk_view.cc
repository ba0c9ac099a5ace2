#include "platform/fltk_view.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Widget.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "support/text.h"

namespace guichet {
namespace {

constexpr char kTitle[] = "Guichet";
// The window class: the sibling checks look for "FORM" in class names, so ours must not
// hold it.
constexpr char kWindowClass[] = "Guichet";
constexpr int kFontSize = 11;
constexpr int kMinFontSize = 8;
// A list box holds at most this many lines; the oldest go first.
constexpr int kMaxActivityLines = 32767;

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A label: its text drawn exactly as given (no "@" symbols, no "&" access keys), left and
// top aligned, clipped to the label's rectangle.
class TextLabel : public Fl_Widget {
 public:
  TextLabel(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {
    box(FL_NO_BOX);
    labelfont(FL_HELVETICA);
    labelsize(kFontSize);
  }
  void SetText(const std::string& utf8) {
    if (utf8 == text_) return;
    text_ = utf8;
    redraw();
  }
  const std::string& text() const { return text_; }

 protected:
  void draw() override {
    // The parent group draws the background under a box-less widget only on a full
    // redraw; clear our own rectangle so a shorter text leaves nothing behind.
    fl_color(parent() ? parent()->color() : FL_BACKGROUND_COLOR);
    fl_rectf(x(), y(), w(), h());
    fl_push_clip(x(), y(), w(), h());
    // Fonts differ from one X server to the next: a text that would not fit its label
    // is drawn a little smaller rather than cut.
    int size = labelsize();
    fl_font(labelfont(), size);
    while (size > kMinFontSize && WidestLine() > w()) fl_font(labelfont(), --size);
    fl_color(FL_FOREGROUND_COLOR);
    fl_draw(text_.c_str(), x(), y(), w(), h(), FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE, nullptr, 0);
    fl_pop_clip();
  }

 private:
  // Width of the longest line in the current font.
  int WidestLine() const {
    int mw = 0, mh = 0;  // a width of 0: no wrapping
    fl_measure(text_.c_str(), mw, mh, 0);
    return mw;
  }

  std::string text_;
};

// Places a control given in twips.
template <typename W, typename... A>
W* At(int left, int top, int width, int height, A... args) {
  return new W(TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width), TwipsToPixels(height),
               args...);
}

// The OK-only message box: the text, one "OK" button, modal. Closing it by the window
// manager or Escape counts as OK.
void RunMessageDialog(const std::string& utf8) {
  fl_open_display();
  fl_font(FL_HELVETICA, 12);
  int tw = 0, th = 0;
  fl_measure(utf8.c_str(), tw, th, 0);
  const int pad = 14, bw = 80, bh = 25;
  int w = std::max(tw + 2 * pad, bw + 2 * pad);
  int h = th + 3 * pad + bh;
  w = std::min(w, std::max(200, Fl::w() - 40));

  Fl_Window dlg(w, h, kTitle);
  dlg.xclass(kWindowClass);
  TextLabel text(pad, pad, w - 2 * pad, th);
  text.labelsize(12);
  text.SetText(utf8);
  Fl_Return_Button ok((w - bw) / 2, h - pad - bh, bw, bh, "OK");
  ok.labelsize(12);
  ok.callback([](Fl_Widget* b, void*) { b->window()->hide(); });
  dlg.end();
  dlg.set_modal();
  dlg.position(Fl::x() + (Fl::w() - w) / 2, Fl::y() + (Fl::h() - h) / 2);
  dlg.show();
  // Give it the keyboard, so that Return answers it even without a window manager.
  Fl::check();
  if (dlg.shown()) {
    XSetInputFocus(fl_display, fl_xid(&dlg), RevertToParent, CurrentTime);
    XFlush(fl_display);
  }
  // SIGTERM or SIGINT answers it as OK would (so a service is never stuck on a message),
  // and stays pending for the shell, which closes Guichet at its next chance.
  while (dlg.shown()) {
    Fl::wait(0.2);
    if (TakeCloseSignal()) {
      dlg.hide();
      raise(SIGTERM);
    }
  }
  Fl::check();
}

class FltkView : public StatusView {
 public:
  FltkView() {
    const int w = TwipsToPixels(4770), h = TwipsToPixels(5700);
    window_ = std::make_unique<Fl_Double_Window>(w, h);
    window_->xclass(kWindowClass);
    window_->copy_label(kTitle);

    lblLabelCompte_ = At<TextLabel>(120, 120, 2175, 255);
    lblLabelCompte_->SetText(ToUtf8(ShownText(W("POST && GET traités/handled :"))));
    labels_[static_cast<int>(Label::kCompte)] = At<TextLabel>(2360, 120, 855, 255);

    Fl_Button* stop = At<Fl_Button>(3960, 80, 735, 375, "Quitter");
    stop->labelsize(kFontSize);
    stop->callback(
        [](Fl_Widget*, void* self) {
          static_cast<FltkView*>(self)->Click(&FormEvents::cmdStop_Click);
        },
        this);

    auto* progression = At<TextLabel>(120, 480, 2655, 255);
    progression->SetText(ToUtf8(W("Fichiers reçus/Received files :")));
    labels_[static_cast<int>(Label::kLabelProgression)] = progression;
    labels_[static_cast<int>(Label::kProgression1)] = At<TextLabel>(2880, 480, 855, 255);
    labels_[static_cast<int>(Label::kProgression2)] = At<TextLabel>(3960, 480, 735, 255);

    lstTodo_ = At<Fl_Hold_Browser>(120, 840, 4575, 4350);
    lstTodo_->box(FL_DOWN_BOX);
    lstTodo_->color(FL_WHITE);
    lstTodo_->textsize(kFontSize);
    lstTodo_->format_char(0);  // lines are shown as they are, never as format codes
    lstTodo_->column_char(0);

    Fl_Button* clear = At<Fl_Button>(120, 5400, 615, 255, "Clear");
    clear->labelsize(kFontSize);
    clear->callback(
        [](Fl_Widget*, void* self) {
          static_cast<FltkView*>(self)->Click(&FormEvents::cmdClear_Click);
        },
        this);

    window_->end();
    window_->size_range(w, h, w, h);  // a fixed-size window
    window_->callback(
        [](Fl_Widget*, void* self) {
          // Escape would close an FLTK window; a form ignores it.
          if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
          static_cast<FltkView*>(self)->Click(&FormEvents::Form_QueryUnload);
        },
        this);
  }

  ~FltkView() override {
    if (window_) window_->hide();
  }

  void Show(FormEvents* events) override {
    events_ = events;
    fl_open_display();
    const int top = TwipsToPixels(1000);
    window_->position(Fl::x() + Fl::w() - window_->w(), Fl::y() + top);
    window_->show();
    Fl::check();
    // Flush with the right edge of the screen and 1000 twips from the top, frame included.
    // Placed again once shown: FLTK keeps a new window one pixel off the right edge (for a
    // border it assumes), and only a shown window knows the size of its frame. FLTK asks
    // for static gravity, so the position is the client area's: step in by the frame's
    // right border (taken as wide as the left one) and down by its title bar.
    const int border = (window_->decorated_w() - window_->w()) / 2;
    const int title_bar = window_->decorated_h() - window_->h() - border;
    // Moved through Xlib: FLTK still believes the window is where it was asked to be, and
    // would take the same position for no move at all.
    XMoveWindow(fl_display, fl_xid(window_.get()), Fl::x() + Fl::w() - window_->w() - border,
                Fl::y() + top + title_bar);
    XSync(fl_display, False);
    Fl::check();
  }

  void SetCaption(const std::string& text) override { window_->copy_label(ToUtf8(text).c_str()); }

  void SetLabel(Label label, const std::string& text) override {
    labels_[static_cast<int>(label)]->SetText(ToUtf8(text));
  }

  void AddActivity(const std::string& line) override {
    if (lstTodo_->size() >= kMaxActivityLines) lstTodo_->remove(1);
    lstTodo_->add(ToUtf8(line).c_str());
  }

  void ClearActivity() override { lstTodo_->clear(); }

  void DoEvents() override { Fl::check(); }

  bool WaitFor(int ms, const bool& stop) override {
    const int64_t end = NowMs() + ms;
    woke_ = false;
    if (wake_ >= 0) Fl::add_fd(wake_, FL_READ, OnWake, this);
    while (!stop && !woke_ && !CloseSignalPending()) {
      int64_t left = end - NowMs();
      if (left <= 0) break;
      Fl::wait(static_cast<double>(left) / 1000.0);
    }
    // Only while waiting: the descriptor stays readable until the caller takes its notices.
    if (wake_ >= 0) Fl::remove_fd(wake_, FL_READ);
    return woke_;
  }

  void WakeOn(intptr_t handle) override { wake_ = static_cast<int>(handle); }

  void MessageBox(const std::string& text) override {
    // Also on standard error, so that a service's journal keeps what the user was told.
    std::string line = MessageLine(text) + "\n";
    (void)!write(2, line.data(), line.size());
    RunMessageDialog(ToUtf8(ReplaceAll(text, "\r\n", "\n")));
  }

  void Beep() override {
    fl_open_display();
    fl_beep(FL_BEEP_DEFAULT);
  }

  void Close() override {
    window_->hide();
    Fl::check();
  }

 private:
  void Click(void (FormEvents::*handler)()) {
    if (events_) (events_->*handler)();
  }

  static void OnWake(int /*fd*/, void* self) { static_cast<FltkView*>(self)->woke_ = true; }

  int wake_ = -1;
  bool woke_ = false;
  std::unique_ptr<Fl_Double_Window> window_;
  TextLabel* lblLabelCompte_ = nullptr;
  TextLabel* labels_[4] = {};
  Fl_Hold_Browser* lstTodo_ = nullptr;
  FormEvents* events_ = nullptr;
};

}  // namespace

std::string ShownText(std::string_view caption) {
  std::string out;
  for (size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&' && i + 1 < caption.size()) ++i;  // "&&" -> "&", "&x" -> "x"
    out += caption[i];
  }
  return out;
}

std::unique_ptr<StatusView> MakeFltkView() { return std::make_unique<FltkView>(); }

}  // namespace guichet
