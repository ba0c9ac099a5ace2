#include "platform/x11_desktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "support/text.h"
#include "support/wildcard.h"

namespace guichet {
namespace {

// A title or class is read into a buffer of 255 characters with its terminator.
constexpr size_t kMaxText = 254;

// Errors raised by windows that vanish while the tree is walked (BadWindow, mostly) are
// expected: the default handler would end the process, this one only notes them.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

std::string Truncated(std::string s) {
  if (s.size() > kMaxText) s.resize(kMaxText);
  return s;
}

class X11Desktop : public Desktop {
 public:
  explicit X11Desktop(Display* d)
      : display_(d),
        net_wm_name_(XInternAtom(d, "_NET_WM_NAME", False)),
        utf8_string_(XInternAtom(d, "UTF8_STRING", False)) {}
  ~X11Desktop() override { XCloseDisplay(display_); }

  int CountMatchingWindows(const std::string& title_pattern,
                           const std::string& class_pattern) override {
    title_pattern_ = ToUpper(title_pattern);
    class_pattern_ = ToUpper(class_pattern);
    // Other clients' requests are seen once they flushed them; ours go out now.
    XSync(display_, False);
    XErrorHandler previous = XSetErrorHandler(IgnoreXError);
    int count = 0;
    Visit(DefaultRootWindow(display_), &count);
    XSync(display_, False);  // any late error still reaches our handler
    XSetErrorHandler(previous);
    return count > 32767 ? 32767 : count;
  }

 private:
  // Visits the children of `parent`, each one's descendants before its next sibling.
  void Visit(Window parent, int* count) {
    Window root_ret = 0, parent_ret = 0;
    Window* children = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(display_, parent, &root_ret, &parent_ret, &children, &n)) return;
    for (unsigned int i = 0; i < n; ++i) {
      Visit(children[i], count);
      // The class first: few windows pass it, so few titles need reading.
      if (MatchesLike(ToUpper(ClassName(children[i])), class_pattern_) &&
          MatchesLike(ToUpper(Title(children[i])), title_pattern_))
        ++*count;
    }
    if (children) XFree(children);
  }

  // _NET_WM_NAME (UTF-8) where set, else WM_NAME; in Windows-1252.
  std::string Title(Window w) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::string title;
    bool found = false;
    if (XGetWindowProperty(display_, w, net_wm_name_, 0, 4096, False, utf8_string_, &type, &format,
                           &items, &after, &data) == Success &&
        type == utf8_string_ && format == 8 && data) {
      title = W(std::string(reinterpret_cast<char*>(data), items));
      found = true;
    }
    if (data) XFree(data);
    if (found) return Truncated(title);

    XTextProperty prop{};
    if (!XGetWMName(display_, w, &prop) || !prop.value) return "";
    if (prop.encoding == XA_STRING) {
      // ISO 8859-1: the printable characters are those of Windows-1252.
      title.assign(reinterpret_cast<char*>(prop.value), prop.nitems);
    } else if (prop.encoding == utf8_string_) {
      title = W(std::string(reinterpret_cast<char*>(prop.value), prop.nitems));
    } else {
      char** list = nullptr;
      int n = 0;
      if (Xutf8TextPropertyToTextList(display_, &prop, &list, &n) >= Success && list) {
        for (int i = 0; i < n; ++i) title += W(list[i]);
        XFreeStringList(list);
      }
    }
    XFree(prop.value);
    return Truncated(title);
  }

  // The class part of WM_CLASS.
  std::string ClassName(Window w) {
    XClassHint hint{};
    if (!XGetClassHint(display_, w, &hint)) return "";
    std::string cls = hint.res_class ? Truncated(hint.res_class) : "";
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    return cls;
  }

  Display* display_;
  Atom net_wm_name_;
  Atom utf8_string_;
  std::string title_pattern_, class_pattern_;
};

}  // namespace

std::unique_ptr<Desktop> OpenX11Desktop(const char* display_name) {
  Display* d = XOpenDisplay(display_name);
  if (!d) return nullptr;
  return std::make_unique<X11Desktop>(d);
}

}  // namespace guichet
