// guichet-web: the portal over HTTP. Turns browser and client requests into Guichet's
// spool files and hands back its answers; serves the files of attachments and archives
// answers and the site's static pages. See --help.
#include <algorithm>
#include <boost/asio.hpp>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "server.h"

namespace {

const char kUsage[] =
    "Usage: guichet-web [options]\n"
    "\n"
    "The web front end of Guichet: each HTTP request for /portail.hv becomes a request file\n"
    "in the spool, and Guichet's answer goes back to the client. Uploads become pieces in\n"
    "post/; /fichier serves files that an attachments or archives answer handed to the\n"
    "session; /desk/... is the transcription desk, for the users that\n"
    "SITE/Guichet/guichet_transcribers.txt names; every other path is a static file of\n"
    "SITE/www.\n"
    "\n"
    "Options:\n"
    "  --listen ADDR:PORT   where to listen (default 127.0.0.1:8080; [::1]:8080 for IPv6)\n"
    "  --site DIR           the site folder, holding IsapiHalvero/, www/ and Archives/\n"
    "                       (default: the folder above this program's own folder)\n"
    "  --timeout SECONDS    how long a request waits for Guichet's answer (default 30)\n"
    "  --max-waiting N      requests that may wait at once; more get 503 (default 4000)\n"
    "  --max-waiting-per-address N\n"
    "                       requests that may wait at once from one client address\n"
    "                       (default 100)\n"
    "  --max-connections N  connections open at once; more get 503 at once (default:\n"
    "                       what the descriptor limit allows, at most 10000)\n"
    "  --max-connections-per-address N\n"
    "                       connections open at once from one client address; 0 for no\n"
    "                       such cap (default 256)\n"
    "  --client-timeout SECONDS\n"
    "                       a client must send its headers, and each part of a body,\n"
    "                       within this; an idle kept-alive connection is closed after\n"
    "                       half of it (default 30)\n"
    "  --poll               watch the spool by polling only, without inotify\n"
    "  --help               this text\n";

bool ParseNumber(const char* s, long min, long max, long* out) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno || !end || *end || end == s || v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseListen(const std::string& s, guichet::web::Config* c) {
  size_t colon = s.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = s.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  long port;
  if (!ParseNumber(s.c_str() + colon + 1, 0, 65535, &port)) return false;
  c->address = host;
  c->port = static_cast<unsigned short>(port);
  return true;
}

// Each waiting request holds a connection: allow as many as the system lets us, keep the
// connections below that with descriptors in reserve, and say so when that is fewer than
// --max-waiting needs.
void FitDescriptorLimit(guichet::web::Config* config) {
  const uint64_t limit = guichet::web::os::RaiseOpenLimit();
  const size_t most = guichet::web::ConnectionsFor(limit);
  if (config->max_connections == 0 || config->max_connections > most) {
    if (config->max_connections > most)
      std::cerr << "guichet-web: warning: only " << limit
                << " open files allowed (ulimit -n): at most " << most << " connections\n";
    config->max_connections = most;
  }
  if (config->max_connections < config->max_waiting)
    std::cerr << "guichet-web: warning: " << config->max_connections
              << " connections at most; fewer than --max-waiting " << config->max_waiting
              << " requests can wait at once\n";
}

int Fail(const std::string& message) {
  std::cerr << "guichet-web: " << message << "\n"
            << "Try guichet-web --help\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  namespace os = guichet::web::os;
  const std::vector<std::string> args = os::Arguments(argc, argv);
  guichet::web::Config config;
  std::string site;
  for (int i = 1; i < argc; ++i) {
    std::string a = args[i];
    std::string value;
    bool has_value = false;
    size_t eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = a.substr(eq + 1);
      a = a.substr(0, eq);
      has_value = true;
    }
    auto need = [&](std::string* out) {
      if (has_value) {
        *out = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      *out = args[++i];
      return true;
    };
    long n;
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--poll") {
      config.poll_only = true;
    } else if (a == "--listen") {
      if (!need(&value) || !ParseListen(value, &config)) return Fail("--listen needs ADDR:PORT");
    } else if (a == "--site") {
      if (!need(&site) || site.empty()) return Fail("--site needs a folder");
    } else if (a == "--timeout") {
      if (!need(&value) || !ParseNumber(value.c_str(), 1, 86400, &n))
        return Fail("--timeout needs a number of seconds (1 to 86400)");
      config.timeout_seconds = static_cast<int>(n);
    } else if (a == "--client-timeout") {
      if (!need(&value) || !ParseNumber(value.c_str(), 1, 3600, &n))
        return Fail("--client-timeout needs a number of seconds (1 to 3600)");
      config.read_seconds = static_cast<int>(n);
      config.idle_seconds = std::max(1, static_cast<int>(n) / 2);
    } else if (a == "--max-waiting-per-address") {
      if (!need(&value) || !ParseNumber(value.c_str(), 1, 1000000, &n))
        return Fail("--max-waiting-per-address needs a number (1 to 1000000)");
      config.max_waiting_per_address = static_cast<size_t>(n);
    } else if (a == "--max-connections") {
      if (!need(&value) || !ParseNumber(value.c_str(), 1, 1000000, &n))
        return Fail("--max-connections needs a number (1 to 1000000)");
      config.max_connections = static_cast<size_t>(n);
    } else if (a == "--max-connections-per-address") {
      if (!need(&value) || !ParseNumber(value.c_str(), 0, 1000000, &n))
        return Fail("--max-connections-per-address needs a number (0 to 1000000)");
      config.max_connections_per_address = static_cast<size_t>(n);
    } else if (a == "--max-waiting") {
      if (!need(&value) || !ParseNumber(value.c_str(), 1, 1000000, &n))
        return Fail("--max-waiting needs a number (1 to 1000000)");
      config.max_waiting = static_cast<size_t>(n);
    } else {
      return Fail("unknown argument " + a);
    }
  }
  if (site.empty()) site = os::OwnFolder() + "/..";
  while (site.size() > 1 && site.back() == '/') site.pop_back();
  config.spool = site + "/IsapiHalvero";
  config.www = site + "/www";
  config.archives = site + "/Archives";
  config.app = site + "/Guichet";
  config.tasks = site + "/Tasks";
  config.templates = site + "/Templates";
  config.transcribers = config.app + "/guichet_transcribers.txt";

  FitDescriptorLimit(&config);
  os::IgnoreBrokenPipes();
  boost::asio::io_context ioc(1);
  guichet::web::Server server(ioc, config);
  std::string error;
  if (!server.Start(&error)) return Fail(error);
  std::cerr << "guichet-web: listening on http://" << config.address << ":" << server.port()
            << "/ (spool " << config.spool << ")" << std::endl;
  boost::asio::signal_set signals(ioc, SIGINT, SIGTERM);
  // Stopping: no new connection, the waiting requests withdrawn (a log-on request holds a
  // password), the answers already on their way removed as they come.
  signals.async_wait(
      [&](const boost::system::error_code&, int) { server.Shutdown([&] { ioc.stop(); }); });
  ioc.run();
  return 0;
}
