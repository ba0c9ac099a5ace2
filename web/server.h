// guichet-web's HTTP server: one thread, one event loop (Boost.Asio), HTTP/1.1 with
// keep-alive (Boost.Beast). The server accepts connections (connection.h), watches the
// spool for Guichet's answers (the system's notices where it gives them, with a slow
// poll besides; a quick poll elsewhere) and wakes the requests waiting for them, and
// holds the state the routes share.
#pragma once

#include <boost/asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "desk.h"
#include "os.h"
#include "session_store.h"
#include "spool_writer.h"

namespace guichet::web {

struct Config {
  std::string address = "127.0.0.1";
  unsigned short port = 8080;
  std::string spool;     // the spool root: in/ out/ post/ cache/ rights/
  std::string www;       // static files
  std::string archives;  // archive folders served by /fichier
  std::string app;       // Guichet's own folder, where it records its sessions
  // The transcription desk: the tasks and templates folders, and the administrator's
  // list of transcribers.
  std::string tasks, templates, transcribers;
  int timeout_seconds = 30;
  size_t max_waiting = 4000;
  bool poll_only = false;           // do not use inotify (the slow poll alone)
  int idle_seconds = 15;            // keep-alive connection without a new request
  int read_seconds = 30;            // headers, and each part of a body, must come within this
  int64_t max_upload = 2000000000;  // Guichet's offsets are 32-bit
  // Connections open at once, in all (0: set from the descriptor limit at start) and from
  // one client address; requests that may wait at once from one client address.
  size_t max_connections = 0;
  size_t max_connections_per_address = 256;
  size_t max_waiting_per_address = 100;
};

// Descriptors kept out of the connections' reach: the program's own, a file served or an
// upload's spill per connection being counted with the connection, and the short-lived
// ones (a request file written, an answer read, a refused connection answered).
constexpr uint64_t kReservedDescriptors = 64;
// The connection cap that a descriptor limit allows: each connection may hold its socket
// and one file.
size_t ConnectionsFor(uint64_t descriptor_limit);

// Limits of what a client may send.
constexpr size_t kMaxHeaderBytes = 16 * 1024;
constexpr size_t kMaxFormBytes = 64 * 1024;
// List pieces of one session: their size, and how many may come at once and then a
// minute (Guichet rewrites and searches its whole list store for each).
constexpr size_t kMaxListBytes = 4096;
constexpr double kListBurst = 10, kListsPerMinute = 10;

// Open connections, in all and by client address. Each connection holds its slot for its
// life; the counts outlive the server, since connections whose handlers are still queued
// in the event loop go after it.
struct ConnectionCounts {
  size_t all = 0;
  std::unordered_map<std::string, size_t> by_address;
};
class ConnectionSlot {
 public:
  ConnectionSlot(std::shared_ptr<ConnectionCounts> counts, std::string address);
  ~ConnectionSlot();
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

 private:
  std::shared_ptr<ConnectionCounts> counts_;
  std::string address_;
};

class Server {
 public:
  Server(boost::asio::io_context& ioc, Config config);
  ~Server();
  // Binds and starts accepting; false with a message when the address cannot be used.
  bool Start(std::string* error);
  unsigned short port() const;

  const Config& config() const { return config_; }
  boost::asio::io_context& io() { return ioc_; }
  PieceFolder& post() { return post_; }
  // Real paths of the folders files are served from ("" while one does not exist: Guichet
  // makes the cache at its first pickup, which may come after this program starts).
  const std::string& cache_real() { return Real(config_.spool + "/cache", &cache_real_); }
  const std::string& archives_real() { return Real(config_.archives, &archives_real_); }
  const std::string& www_real() { return Real(config_.www, &www_real_); }

  // Waiting requests: `wake` runs whenever the request's answer may have come, `stop` when
  // the program stops (the connection withdraws its request and answers at once).
  size_t waiting() const { return waiters_.size(); }
  size_t waiting_from(const std::string& address) const;
  void AddWaiter(const std::string& name, const std::string& address, std::function<void()> wake,
                 std::function<void()> stop);
  void RemoveWaiter(const std::string& name);
  std::string NewRequestName();
  // Takes a request back: its request file goes, and its answer, should Guichet have read
  // the request already, is removed when it comes.
  void Withdraw(const std::string& name);
  size_t withdrawn() const { return withdrawn_.size(); }

  // A connection from `address` is open while its slot lives.
  std::unique_ptr<ConnectionSlot> Opened(const std::string& address);
  size_t connections() const { return counts_->all; }

  // Stops accepting, withdraws every waiting request and runs `done` once the answers that
  // were on their way are removed, or after a grace period.
  void Shutdown(std::function<void()> done);
  bool stopping() const { return stopping_; }

  // One line on standard error.
  void Log(const std::string& line);

  // The sessions this front end knows, and the document numbers handed to each.
  SessionStore& sessions() { return sessions_; }
  // Ends a session for this front end: forgotten, and its rights list removed.
  void RevokeSession(const std::string& token);
  // One writer at a time per document and extension: false while `key` is held.
  bool ClaimUpload(const std::string& key) { return uploads_.insert(key).second; }
  void ReleaseUpload(const std::string& key) { uploads_.erase(key); }
  // False when session `token` sent more list pieces lately than it may.
  bool AllowList(const std::string& token);
  // The transcription desk: who may use it, and who has which document open.
  bool IsTranscriber(const std::string& id) { return transcribers_.Contains(id); }
  desk::Claims& claims() { return claims_; }

 private:
  void Accept();
  void Refuse(boost::asio::ip::tcp::socket socket, const std::string& why);
  void RemoveLeftovers();
  void SweepWithdrawn();
  void StartWatch();
  void Poll();
  void Wake(const std::string& name);
  void WakeAll();
  static const std::string& Real(const std::string& path, std::string* kept);

  boost::asio::io_context& ioc_;
  Config config_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer accept_retry_;
  boost::asio::steady_timer poll_timer_;
  boost::asio::steady_timer stop_timer_;
  os::FolderWatch watch_;
  struct Waiter {
    std::string address;
    std::function<void()> wake, stop;
  };
  std::unordered_map<std::string, Waiter> waiters_;
  std::unordered_map<std::string, size_t> waiting_by_address_;
  std::shared_ptr<ConnectionCounts> counts_ = std::make_shared<ConnectionCounts>();
  // Withdrawn requests whose answer may still come, with the time they are given up.
  std::unordered_map<std::string, std::chrono::steady_clock::time_point> withdrawn_;
  // Refused connections being answered; each holds a descriptor of the reserve.
  static constexpr size_t kMostRefusing = kReservedDescriptors / 4;
  size_t refusing_ = 0;
  bool stopping_ = false, accept_paused_ = false;
  PieceFolder post_;
  std::string cache_real_, archives_real_, www_real_;
  SessionStore sessions_;
  std::set<std::string> uploads_;
  desk::Transcribers transcribers_;
  desk::Claims claims_;
  struct Bucket {
    double left;
    std::chrono::steady_clock::time_point at;
  };
  std::unordered_map<std::string, Bucket> lists_;
  uint64_t counter_ = 0;
  uint32_t salt_;
};

}  // namespace guichet::web
