// /fichier and the static files: documents of the spool's cache and of the archives for
// a live session whose rights list names them, and the site's www/ folder for every other
// path. A document is shown in the browser only when it cannot act: audio, PDF, images
// other than SVG, plain text; anything else (a page, an SVG, a word-processor file) comes
// as an attachment, and no document may run script on the portal's origin.
#include <ctime>

#include "access.h"
#include "files.h"
#include "form.h"
#include "route.h"
#include "server.h"

namespace guichet::web {

namespace {

bool ShownInline(std::string_view type) {
  return type.rfind("audio/", 0) == 0 || type == "application/pdf" ||
         type.rfind("text/plain", 0) == 0 ||
         (type.rfind("image/", 0) == 0 && type != "image/svg+xml");
}

// The name of a download, kept to safe characters.
std::string DownloadName(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1), out;
  for (char c : name)
    out += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                   c == '-' || c == '_'
               ? c
               : '_';
  return out;
}

class Fichier : public Route {
 public:
  using Route::Route;

  void Start() override {
    Fields query;
    ParseUrlEncoded(conn().query(), &query);
    const std::string* logon = FindField(query, "logon");
    Caller caller;
    Access access = Identify(conn(), logon ? *logon : "", true, &caller);
    if (access != Access::kGranted) return Refuse(conn(), access);
    const std::string* f = FindField(query, "f");
    std::string plain;
    if (!f ||
        !RightsAllow(server().config().spool + "/rights", caller.token, *f, time(nullptr), &plain))
      return conn().SendText(http::status::forbidden, "Forbidden\n");
    std::vector<std::string> roots;
    if (!server().cache_real().empty()) roots.push_back(server().cache_real());
    if (!server().archives_real().empty()) roots.push_back(server().archives_real());
    std::string real = ResolveInside(plain, roots);
    if (real.empty()) return conn().SendText(http::status::not_found, "Not found\n");
    conn().SendFile(real, roots, DocumentFileOptions(real, false));
  }
};

class Static : public Route {
 public:
  using Route::Route;

  void Start() override {
    std::string real = StaticFile(server().www_real(), conn().path());
    if (real.empty()) return conn().SendText(http::status::not_found, "Not found\n");
    FileOptions options;
    options.cacheable = true;
    // The portal's pages load modules and stylesheets of their own site only.
    options.headers = {
        {"Content-Security-Policy",
         "default-src 'self'; media-src 'self' blob:; worker-src 'self' blob:; "
         "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'self'"},
        {"X-Content-Type-Options", "nosniff"},
        // Not "no-referrer": a browser then sends "Origin: null" with the page's own forms.
        {"Referrer-Policy", "same-origin"},
    };
    conn().SendFile(real, {server().www_real()}, options);
  }
};

}  // namespace

FileOptions DocumentFileOptions(const std::string& real, bool attachment) {
  FileOptions options;
  const std::string type = ContentTypeFor(real);
  const bool shown = !attachment && ShownInline(type);
  options.content_type = shown ? type : "application/octet-stream";
  options.headers = {
      {"Content-Disposition",
       shown ? std::string("inline") : "attachment; filename=\"" + DownloadName(real) + "\""},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      // A PDF viewer does not start in a sandboxed document; a PDF's own script runs
      // in the viewer, never on the portal's origin.
      {"Content-Security-Policy",
       std::string(type == "application/pdf" && shown ? "" : "sandbox; ") +
           "default-src 'none'; img-src 'self'; media-src 'self'; style-src 'unsafe-inline'; "
           "frame-ancestors 'self'"},
  };
  return options;
}

std::shared_ptr<Route> FichierRoute(std::shared_ptr<Connection> conn) {
  return std::make_shared<Fichier>(std::move(conn));
}

std::shared_ptr<Route> StaticRoute(std::shared_ptr<Connection> conn) {
  return std::make_shared<Static>(std::move(conn));
}

}  // namespace guichet::web
