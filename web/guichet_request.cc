#include "guichet_request.h"

#include <cerrno>

#include "server.h"
#include "spool_writer.h"

namespace guichet::web {

namespace {

bool Exists(const std::string& path) { return os::KindOf(path, false) != os::Kind::kNone; }

GuichetAnswer Outcome(GuichetAnswer::Kind kind, std::string why = "") {
  GuichetAnswer a;
  a.kind = kind;
  a.body = std::move(why);
  return a;
}

}  // namespace

GuichetRequest::GuichetRequest(Server& server, Done done)
    : server_(server), done_(std::move(done)), timer_(server.io()) {}

std::shared_ptr<GuichetRequest> GuichetRequest::Start(Server& server, const Fields& fields,
                                                      Done done, const std::string& address) {
  auto r = std::make_shared<GuichetRequest>(server, std::move(done));
  std::string content, refusal;
  if (!RequestFileContent(fields, &content, &refusal)) {
    r->Finish(Outcome(GuichetAnswer::kBadFields, refusal));
    return r;
  }
  if (server.waiting() >= server.config().max_waiting ||
      server.waiting_from(address) >= server.config().max_waiting_per_address) {
    r->Finish(Outcome(GuichetAnswer::kBusy, "Too many waiting requests"));
    return r;
  }
  const std::string* command = FindField(fields, "command");
  r->consumed_without_answer_ = command && ConsumedWithoutAnswer(*command);
  r->name_ = server.NewRequestName();
  if (int err = WriteFileInto(server.config().spool + "/in", r->name_ + ".req", content)) {
    r->Finish(err == EMFILE || err == ENFILE
                  ? Outcome(GuichetAnswer::kBusy, "Out of file descriptors")
                  : Outcome(GuichetAnswer::kUnwritable));
    return r;
  }
  // Weak in the server's table: a request whose asker is gone is withdrawn by then.
  std::weak_ptr<GuichetRequest> weak = r;
  server.AddWaiter(
      r->name_, address,
      [weak] {
        if (auto p = weak.lock()) p->Check();
      },
      [weak] {
        if (auto p = weak.lock()) p->Stopped();
      });
  r->waiting_ = true;
  r->timer_.expires_after(std::chrono::seconds(server.config().timeout_seconds));
  r->timer_.async_wait([r](boost::system::error_code ec) {
    if (!ec) r->TimedOut();
  });
  // The answer may already be there.
  r->Check();
  return r;
}

void GuichetRequest::Withdraw() {
  done_ = nullptr;
  if (!waiting_) return;
  waiting_ = false;
  server_.RemoveWaiter(name_);
  timer_.cancel();
  server_.Withdraw(name_);
}

void GuichetRequest::Stopped() {
  if (!waiting_) return;
  Finish(Outcome(GuichetAnswer::kStopped));
  server_.Withdraw(name_);
}

void GuichetRequest::Finish(GuichetAnswer answer) {
  if (waiting_) {
    waiting_ = false;
    server_.RemoveWaiter(name_);
    timer_.cancel();
  }
  if (auto done = std::move(done_)) {
    done_ = nullptr;
    done(std::move(answer));
  }
}

void GuichetRequest::Check() {
  if (!waiting_) return;
  const std::string& spool = server_.config().spool;
  const std::string out = spool + "/out", in = spool + "/in";
  std::string marker;
  if (ReadSmallFile(out + "/" + name_ + ".rdy", &marker, 64)) {
    GuichetAnswer answer;
    bool have_page = ReadSmallFile(out + "/" + name_ + ".htm", &answer.body, int64_t{256} << 20);
    // The request goes first, so Guichet cannot take it up again once the marker is gone.
    RemoveFile(in, name_ + ".req");
    RemoveFile(out, name_ + ".htm");
    RemoveFile(out, name_ + ".rdy");
    if (!have_page) return Finish(Outcome(GuichetAnswer::kUnreadable));
    std::string m;
    for (char c : marker)
      if (c >= '0' && c <= '9')
        m += c;
      else if (!m.empty())
        break;
    if (!m.empty() && m.size() < 10) answer.rows = std::stol(m);
    return Finish(std::move(answer));
  }
  // Taken and consumed without an answer (the workflow commands); for any other command,
  // someone else removed the request.
  if (!Exists(in + "/" + name_ + ".req"))
    Finish(Outcome(consumed_without_answer_ ? GuichetAnswer::kConsumed : GuichetAnswer::kVanished));
}

void GuichetRequest::TimedOut() {
  if (!waiting_) return;
  Check();
  if (!waiting_) return;
  // Withdrawn, so it does not run later; an answer written meanwhile, or later, goes too.
  Finish(Outcome(GuichetAnswer::kTimeout));
  server_.Withdraw(name_);
}

}  // namespace guichet::web
