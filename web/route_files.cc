// /fichier and the static files: documents of the spool's cache and of the archives for
// a session whose rights list names them, and the site's www/ folder for every other
// path.
#include <ctime>

#include "files.h"
#include "form.h"
#include "route.h"
#include "server.h"

namespace guichet::web {

namespace {

class Fichier : public Route {
 public:
  using Route::Route;

  void Start() override {
    Fields query;
    ParseUrlEncoded(conn().query(), &query);
    const std::string* token = FindField(query, "logon");
    const std::string* f = FindField(query, "f");
    std::string plain;
    if (!token || !f ||
        !RightsAllow(server().config().spool + "/rights", *token, *f, time(nullptr), &plain))
      return conn().SendText(http::status::forbidden, "Forbidden\n");
    std::vector<std::string> roots;
    if (!server().cache_real().empty()) roots.push_back(server().cache_real());
    if (!server().archives_real().empty()) roots.push_back(server().archives_real());
    std::string real = ResolveInside(plain, roots);
    if (real.empty()) return conn().SendText(http::status::not_found, "Not found\n");
    conn().SendFile(real, roots, FileOptions{});
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
    conn().SendFile(real, {server().www_real()}, options);
  }
};

}  // namespace

std::shared_ptr<Route> FichierRoute(std::shared_ptr<Connection> conn) {
  return std::make_shared<Fichier>(std::move(conn));
}

std::shared_ptr<Route> StaticRoute(std::shared_ptr<Connection> conn) {
  return std::make_shared<Static>(std::move(conn));
}

}  // namespace guichet::web
