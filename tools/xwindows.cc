// xwindows: puts windows with given titles and classes on an X display, for the desktop
// tests and for trying the sibling checks by hand.
//
//   xwindows [--churn] WINDOW...
//
// WINDOW is "title|class[|option,...]" (title in UTF-8). Options:
//   depth=N   the window lies N levels down inside a plain top-level window (no title, no
//             class), each level one window inside the next
//   legacy    the title only as WM_NAME in ISO 8859-1, no _NET_WM_NAME
//   unmapped  the window is created but never mapped
// With --churn it also keeps creating and destroying nested windows until it ends, so that
// windows vanish under anyone walking the tree.
//
// It prints "ready" once the server has every window (after a round trip), then waits until
// its standard input closes or it gets SIGTERM.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct WindowDesc {
  std::string title, cls;
  int depth = 0;
  bool legacy = false, unmapped = false;
};

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out(1);
  for (char c : s) {
    if (c == sep)
      out.emplace_back();
    else
      out.back() += c;
  }
  return out;
}

// UTF-8 to ISO 8859-1 ("?" outside it).
std::string Latin1(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = utf8[i];
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if ((c & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
      unsigned cp = ((c & 0x1F) << 6) | (utf8[++i] & 0x3F);
      out += cp < 0x100 ? static_cast<char>(cp) : '?';
    } else {
      while (i + 1 < utf8.size() && (utf8[i + 1] & 0xC0) == 0x80) ++i;
      out += '?';
    }
  }
  return out;
}

Window Plain(Display* d, Window parent) {
  return XCreateSimpleWindow(d, parent, 0, 0, 60, 40, 0, 0, WhitePixel(d, DefaultScreen(d)));
}

void Make(Display* d, const WindowDesc& s) {
  Window parent = DefaultRootWindow(d);
  std::vector<Window> chain;
  for (int i = 0; i < s.depth; ++i) chain.push_back(parent = Plain(d, parent));
  Window w = Plain(d, parent);
  if (s.legacy) {
    std::string t = Latin1(s.title);
    XChangeProperty(d, w, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(t.data()), static_cast<int>(t.size()));
  } else {
    Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(s.title.data()),
                    static_cast<int>(s.title.size()));
    XChangeProperty(d, w, XA_WM_NAME, utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(s.title.data()),
                    static_cast<int>(s.title.size()));
  }
  if (!s.cls.empty()) {
    XClassHint hint;
    std::string name = "xwindows", cls = s.cls;
    hint.res_name = name.data();
    hint.res_class = cls.data();
    XSetClassHint(d, w, &hint);
  }
  if (!s.unmapped) {
    XMapWindow(d, w);
    for (Window c : chain) XMapWindow(d, c);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool churn = false;
  std::vector<WindowDesc> descs;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--churn") == 0) {
      churn = true;
      continue;
    }
    std::vector<std::string> f = Split(argv[i], '|');
    if (f.size() < 2) {
      std::fprintf(stderr, "xwindows: \"%s\" is not title|class[|options]\n", argv[i]);
      return 2;
    }
    WindowDesc s{f[0], f[1]};
    for (size_t k = 2; k < f.size(); ++k)
      for (const std::string& opt : Split(f[k], ',')) {
        if (opt.rfind("depth=", 0) == 0)
          s.depth = std::atoi(opt.c_str() + 6);
        else if (opt == "legacy")
          s.legacy = true;
        else if (opt == "unmapped")
          s.unmapped = true;
        else if (!opt.empty()) {
          std::fprintf(stderr, "xwindows: unknown option \"%s\"\n", opt.c_str());
          return 2;
        }
      }
    descs.push_back(s);
  }

  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    std::fprintf(stderr, "xwindows: cannot open the display\n");
    return 1;
  }
  for (const WindowDesc& s : descs) Make(d, s);
  XSync(d, False);  // the windows exist on the server before anyone is told so
  std::printf("ready\n");
  std::fflush(stdout);

  pollfd in{0, POLLIN, 0};
  std::vector<Window> transient;
  for (;;) {
    if (poll(&in, 1, churn ? 0 : 1000) > 0) {
      char buf[64];
      if (read(0, buf, sizeof buf) <= 0) break;
    }
    if (!churn) continue;
    // Make a few nested windows, then destroy them again.
    for (int i = 0; i < 20; ++i) {
      Window top = Plain(d, DefaultRootWindow(d));
      Window inner = Plain(d, top);
      XStoreName(d, inner, "churn");
      XMapWindow(d, inner);
      transient.push_back(top);
    }
    XFlush(d);
    for (Window w : transient) XDestroyWindow(d, w);
    transient.clear();
    XSync(d, False);
  }
  XCloseDisplay(d);
  return 0;
}
