// One request to Guichet through the spool: the request file goes into in/ under a name
// of this front end's own, and the answer is awaited without a thread: the ready marker
// in out/ (a page or rows), the request file gone without a marker (a command consumed
// without an answer), or the timeout (the request is then withdrawn). The routes that
// speak to Guichet (/portail.hv, /session) share it.
#pragma once

#include <boost/asio/steady_timer.hpp>
#include <functional>
#include <memory>
#include <string>

#include "form.h"

namespace guichet::web {

class Server;

struct GuichetAnswer {
  enum Kind {
    kAnswered,    // `body` holds the answer file, `rows` the ready marker's count
    kConsumed,    // the request went without an answer (a command Guichet consumes so)
    kVanished,    // the request went without an answer, for a command that has one
    kTimeout,     // no answer in time; the request was withdrawn
    kUnreadable,  // a marker without a readable answer
    kBadFields,   // the fields cannot make a request file (`body` says why)
    kBusy,        // too many requests wait already, or no descriptor is left (`body`)
    kUnwritable,  // the request file could not be written
    kStopped,     // the front end stops; the request was withdrawn
  };
  Kind kind = kAnswered;
  long rows = 0;
  std::string body;
};

class GuichetRequest : public std::enable_shared_from_this<GuichetRequest> {
 public:
  using Done = std::function<void(GuichetAnswer)>;
  // Writes the request and calls `done` once with the outcome (at once when it could
  // not be written), unless Withdraw() came first. `address`: the client's, for the cap on
  // the requests that wait from one address.
  static std::shared_ptr<GuichetRequest> Start(Server& server, const Fields& fields, Done done,
                                               const std::string& address = "");
  // The asker is gone: the request is withdrawn (Server::Withdraw) and `done` never runs.
  void Withdraw();
  bool waiting() const { return waiting_; }

  GuichetRequest(Server& server, Done done);

 private:
  void Check();
  void TimedOut();
  void Stopped();
  void Finish(GuichetAnswer answer);

  Server& server_;
  Done done_;
  boost::asio::steady_timer timer_;
  std::string name_;
  bool waiting_ = false;
  bool consumed_without_answer_ = false;  // a command that Guichet consumes without answer
};

}  // namespace guichet::web
