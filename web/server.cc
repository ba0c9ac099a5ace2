#include "server.h"

#include <algorithm>
#include <array>
#include <boost/beast/core.hpp>
#include <cstdio>
#include <ctime>
#include <random>

#include "connection.h"
#include "files.h"
#include "platform/datetime.h"
#include "platform/env.h"
#include "spool_writer.h"

namespace guichet::web {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

bool Exists(const std::string& path) { return os::KindOf(path, false) != os::Kind::kNone; }

// The time at the head of a log line.
std::string LogTime() {
  char when[32];
  const DateTime t = Env::Default()->Now();
  snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
           t.minute, t.second);
  return when;
}

using Clock = std::chrono::steady_clock;

}  // namespace

Server::Server(net::io_context& ioc, Config config)
    : ioc_(ioc),
      config_(std::move(config)),
      acceptor_(ioc),
      accept_retry_(ioc),
      poll_timer_(ioc),
      stop_timer_(ioc),
      watch_(
          ioc,
          [this](bool in, std::string_view name) {
            std::string_view want = in ? ".req" : ".rdy";
            if (name.size() > 4 && name.substr(name.size() - 4) == want)
              Wake(std::string(name.substr(0, name.size() - 4)));
          },
          [this] { WakeAll(); }),
      post_(config_.spool + "/post"),
      sessions_(config_.spool + "/guichet-web.sessions", config_.app + "/guichet_lastlogons.txt"),
      transcribers_(config_.transcribers) {
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
  RemoveLeftovers();
  if (config_.max_connections == 0) config_.max_connections = ConnectionsFor(0);
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
    if (stopping_) return;
    beast::error_code e;
    const auto peer = socket.remote_endpoint(e);
    const std::string address = e ? "?" : peer.address().to_string();
    if (counts_->all >= config_.max_connections) {
      Refuse(std::move(socket), "Too many connections\n");
    } else if (config_.max_connections_per_address > 0 &&
               counts_->by_address[address] >= config_.max_connections_per_address) {
      Refuse(std::move(socket), "Too many connections from this address\n");
    } else {
      StartConnection(std::move(socket), *this);
    }
    // While the refusals use their share of the reserve, the next clients wait in the
    // backlog for a moment rather than being dropped without an answer.
    if (refusing_ >= kMostRefusing) {
      accept_paused_ = true;
      return;
    }
    Accept();
  });
}

// A connection beyond a cap: a 503 at once, then its request is read and dropped for a
// moment, so that closing does not reset the connection before the client reads the answer.
void Server::Refuse(tcp::socket socket, const std::string& why) {
  auto s = std::make_shared<tcp::socket>(std::move(socket));
  beast::error_code ec;
  const auto peer = s->remote_endpoint(ec);
  const std::string client =
      ec ? "?" : peer.address().to_string() + ":" + std::to_string(peer.port());
  Log(LogTime() + " " + client + " - - 503 " + std::to_string(why.size()) + " 0ms");
  ++refusing_;
  auto answer = std::make_shared<std::string>(
      "HTTP/1.1 503 Service Unavailable\r\nServer: guichet-web\r\nRetry-After: 1\r\n"
      "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " +
      std::to_string(why.size()) + "\r\nConnection: close\r\n\r\n" + why);
  auto timer = std::make_shared<net::steady_timer>(ioc_, std::chrono::milliseconds(250));
  auto drain = std::make_shared<std::array<char, 1024>>();
  auto done = [this, s, timer] {
    if (!s->is_open()) return;
    beast::error_code e;
    s->close(e);
    timer->cancel();
    --refusing_;
    if (accept_paused_ && !stopping_) {
      accept_paused_ = false;
      Accept();
    }
  };
  timer->async_wait([done](beast::error_code) { done(); });
  net::async_write(*s, net::buffer(*answer), [s, answer, drain, done](beast::error_code e, size_t) {
    if (e) return done();
    s->shutdown(tcp::socket::shutdown_send, e);
    auto read = std::make_shared<std::function<void()>>();
    *read = [s, drain, done, read] {
      s->async_read_some(net::buffer(*drain), [done, read](beast::error_code e, size_t) {
        if (e) {
          done();
          *read = nullptr;  // ends the cycle of references
          return;
        }
        (*read)();
      });
    };
    (*read)();
  });
}

size_t ConnectionsFor(uint64_t descriptor_limit) {
  constexpr size_t kMost = 10000;
  if (descriptor_limit == 0) return kMost;
  if (descriptor_limit <= kReservedDescriptors + 2) return 1;
  return std::min<size_t>(kMost, (descriptor_limit - kReservedDescriptors) / 2);
}

ConnectionSlot::ConnectionSlot(std::shared_ptr<ConnectionCounts> counts, std::string address)
    : counts_(std::move(counts)), address_(std::move(address)) {
  ++counts_->all;
  ++counts_->by_address[address_];
}

ConnectionSlot::~ConnectionSlot() {
  --counts_->all;
  auto it = counts_->by_address.find(address_);
  if (it != counts_->by_address.end() && --it->second == 0) counts_->by_address.erase(it);
}

std::unique_ptr<ConnectionSlot> Server::Opened(const std::string& address) {
  return std::make_unique<ConnectionSlot>(counts_, address);
}

void Server::RemoveLeftovers() {
  int removed = 0;
  for (const char* sub : {"/in", "/out"}) removed += RemoveLeftoverRequests(config_.spool + sub);
  if (removed > 0)
    Log("guichet-web: removed " + std::to_string(removed) +
        " request and answer files that an earlier run left");
}

void Server::Withdraw(const std::string& name) {
  // The request first, so Guichet cannot take it up once its answer is gone.
  const std::string& spool = config_.spool;
  RemoveFile(spool + "/in", name + ".req");
  RemoveFile(spool + "/out", name + ".htm");
  RemoveFile(spool + "/out", name + ".rdy");
  if (withdrawn_.size() < 100000) withdrawn_[name] = Clock::now();
}

// Removes the answers of withdrawn requests that have come, and forgets the requests whose
// answer will not come any more.
void Server::SweepWithdrawn() {
  const std::string out = config_.spool + "/out";
  const auto now = Clock::now();
  for (auto it = withdrawn_.begin(); it != withdrawn_.end();) {
    if (Exists(out + "/" + it->first + ".rdy")) {
      RemoveFile(out, it->first + ".htm");
      RemoveFile(out, it->first + ".rdy");
      it = withdrawn_.erase(it);
    } else if (now - it->second > std::chrono::minutes(30)) {
      it = withdrawn_.erase(it);
    } else {
      ++it;
    }
  }
}

void Server::Shutdown(std::function<void()> done) {
  if (stopping_) return;
  stopping_ = true;
  beast::error_code ec;
  acceptor_.close(ec);
  std::vector<std::function<void()>> stops;
  for (auto& [n, w] : waiters_) stops.push_back(w.stop);
  for (auto& stop : stops) stop();
  // Guichet may have read a withdrawn request already: its answer comes within a tick or
  // two, and goes at once.
  const auto start = Clock::now(), until = start + std::chrono::seconds(3);
  auto check = std::make_shared<std::function<void()>>();
  *check = [this, start, until, done, check] {
    SweepWithdrawn();
    bool recent = false;  // withdrawn lately: its answer may still come
    for (const auto& [n, when] : withdrawn_)
      if (start - when < std::chrono::seconds(10)) recent = true;
    if (!recent || Clock::now() >= until) {
      auto finish = done;  // this very function is let go just below
      *check = nullptr;
      return finish();
    }
    stop_timer_.expires_after(std::chrono::milliseconds(100));
    stop_timer_.async_wait([check](beast::error_code e) {
      if (!e && *check) (*check)();
    });
  };
  (*check)();
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
  if (it == waiters_.end()) {
    auto w = withdrawn_.find(name);
    if (w != withdrawn_.end() && Exists(config_.spool + "/out/" + name + ".rdy")) {
      // The answer of a request taken back: nobody reads it.
      const std::string out = config_.spool + "/out";
      RemoveFile(out, name + ".htm");
      RemoveFile(out, name + ".rdy");
      withdrawn_.erase(w);
    }
    return;
  }
  auto wake = it->second.wake;  // the waiter may remove itself
  wake();
}

void Server::WakeAll() {
  std::vector<std::function<void()>> all;
  all.reserve(waiters_.size());
  for (auto& [n, w] : waiters_) all.push_back(w.wake);
  for (auto& w : all) w();
  SweepWithdrawn();
}

size_t Server::waiting_from(const std::string& address) const {
  auto it = waiting_by_address_.find(address);
  return it == waiting_by_address_.end() ? 0 : it->second;
}

void Server::AddWaiter(const std::string& name, const std::string& address,
                       std::function<void()> wake, std::function<void()> stop) {
  waiters_[name] = Waiter{address, std::move(wake), std::move(stop)};
  ++waiting_by_address_[address];
}

void Server::RemoveWaiter(const std::string& name) {
  auto it = waiters_.find(name);
  if (it == waiters_.end()) return;
  auto a = waiting_by_address_.find(it->second.address);
  if (a != waiting_by_address_.end() && --a->second == 0) waiting_by_address_.erase(a);
  waiters_.erase(it);
}

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
  claims_.ReleaseAll(token);
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
