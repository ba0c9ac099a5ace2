#include "server.h"

#include <algorithm>
#include <boost/beast/core.hpp>
#include <cstdio>
#include <ctime>
#include <random>

#include "connection.h"
#include "files.h"

namespace guichet::web {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

Server::Server(net::io_context& ioc, Config config)
    : ioc_(ioc),
      config_(std::move(config)),
      acceptor_(ioc),
      accept_retry_(ioc),
      poll_timer_(ioc),
      watch_(
          ioc,
          [this](bool in, std::string_view name) {
            std::string_view want = in ? ".req" : ".rdy";
            if (name.size() > 4 && name.substr(name.size() - 4) == want)
              Wake(std::string(name.substr(0, name.size() - 4)));
          },
          [this] { WakeAll(); }),
      post_(config_.spool + "/post"),
      sessions_(config_.spool + "/guichet-web.sessions", config_.app + "/guichet_lastlogons.txt") {
  std::random_device rd;
  salt_ = rd();
}

const std::string& Server::Real(const std::string& path, std::string* kept) {
  if (kept->empty()) *kept = RealFolder(path);
  return *kept;
}

Server::~Server() = default;

bool Server::Start(std::string* error) {
  for (const char* sub : {"", "/in", "/out", "/post"}) os::MakeFolder(config_.spool + sub);
  for (const char* sub : {"/in", "/out", "/post"}) {
    if (os::KindOf(config_.spool + sub, true) != os::Kind::kFolder) {
      *error = "the spool folder " + config_.spool + sub + " cannot be made";
      return false;
    }
  }
  for (const char* sub : {"/in", "/post"}) RemoveOrphanTemporaries(config_.spool + sub);
  sessions_.Load(time(nullptr));
  beast::error_code ec;
  auto address = net::ip::make_address(config_.address, ec);
  if (ec) {
    *error = "bad address " + config_.address;
    return false;
  }
  tcp::endpoint ep(address, config_.port);
  acceptor_.open(ep.protocol(), ec);
  if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(ep, ec);
  if (!ec) acceptor_.listen(4096, ec);
  if (ec) {
    *error = "cannot listen on " + config_.address + ":" + std::to_string(config_.port) + ": " +
             ec.message();
    return false;
  }
  StartWatch();
  Poll();
  Accept();
  return true;
}

unsigned short Server::port() const {
  beast::error_code ec;
  return acceptor_.local_endpoint(ec).port();
}

void Server::Accept() {
  acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors, for instance: try again a little later.
      accept_retry_.expires_after(std::chrono::milliseconds(100));
      accept_retry_.async_wait([this](beast::error_code e) {
        if (!e) Accept();
      });
      return;
    }
    StartConnection(std::move(socket), *this);
    Accept();
  });
}

void Server::StartWatch() {
  if (config_.poll_only) return;
  watch_.Start(config_.spool + "/in", config_.spool + "/out");
}

void Server::Poll() {
  // With the system's notices the poll is only a safety net; without them, it is the way
  // answers are seen.
  const bool watching = watch_.running();
  poll_timer_.expires_after(std::chrono::milliseconds(watching ? 2000 : 250));
  poll_timer_.async_wait([this](beast::error_code ec) {
    if (ec) return;
    WakeAll();
    Poll();
  });
}

void Server::Wake(const std::string& name) {
  auto it = waiters_.find(name);
  if (it == waiters_.end()) return;
  auto wake = it->second;  // the waiter may remove itself
  wake();
}

void Server::WakeAll() {
  std::vector<std::function<void()>> all;
  all.reserve(waiters_.size());
  for (auto& [n, w] : waiters_) all.push_back(w);
  for (auto& w : all) w();
}

void Server::AddWaiter(const std::string& name, std::function<void()> wake) {
  waiters_[name] = std::move(wake);
}

void Server::RemoveWaiter(const std::string& name) { waiters_.erase(name); }

std::string Server::NewRequestName() {
  char buf[64];
  const uint64_t n = ++counter_;
  snprintf(buf, sizeof buf, "w%ld_%llu_%08x", os::ProcessId(), static_cast<unsigned long long>(n),
           salt_ ^ static_cast<uint32_t>(n * 2654435761u));
  return buf;
}

void Server::RevokeSession(const std::string& token) {
  if (!SessionStore::IsToken(token)) return;
  sessions_.LogOff(token, time(nullptr));
  RemoveFile(config_.spool + "/rights", "~" + token + ".lst");
}

bool Server::AllowList(const std::string& token) {
  const auto now = std::chrono::steady_clock::now();
  auto [it, fresh] = lists_.try_emplace(token, Bucket{kListBurst, now});
  Bucket& b = it->second;
  const double minutes = std::chrono::duration<double>(now - b.at).count() / 60;
  b.left = std::min(kListBurst, b.left + minutes * kListsPerMinute);
  b.at = now;
  if (b.left < 1) return false;
  b.left -= 1;
  // Buckets that are full again tell nothing: they go, so the table stays small.
  if (lists_.size() > 10000)
    for (auto i = lists_.begin(); i != lists_.end();)
      i = (now - i->second.at) > std::chrono::minutes(2) ? lists_.erase(i) : std::next(i);
  return true;
}

void Server::Log(const std::string& line) {
  std::string l = line + "\n";
  fwrite(l.data(), 1, l.size(), stderr);
  fflush(stderr);  // a C runtime may buffer standard error sent to a file
}

}  // namespace guichet::web
