#include "guichet_request.h"

#include "server.h"
#include "spool_writer.h"

namespace guichet::web {

namespace {

bool Exists(const std::string& path) { return os::KindOf(path, false) != os::Kind::kNone; }

GuichetAnswer Outcome(GuichetAnswer::Kind kind) {
  GuichetAnswer a;
  a.kind = kind;
  return a;
}

}  // namespace

GuichetRequest::GuichetRequest(Server& server, Done done)
    : server_(server), done_(std::move(done)), timer_(server.io()) {}

std::shared_ptr<GuichetRequest> GuichetRequest::Start(Server& server, const Fields& fields,
                                                      Done done) {
  auto r = std::make_shared<GuichetRequest>(server, std::move(done));
  std::string content;
  if (!RequestFileContent(fields, &content)) {
    r->Finish(Outcome(GuichetAnswer::kBadFields));
    return r;
  }
  if (server.waiting() >= server.config().max_waiting) {
    r->Finish(Outcome(GuichetAnswer::kBusy));
    return r;
  }
  r->name_ = server.NewRequestName();
  if (WriteFileInto(server.config().spool + "/in", r->name_ + ".req", content) != 0) {
    r->Finish(Outcome(GuichetAnswer::kUnwritable));
    return r;
  }
  server.AddWaiter(r->name_, [r] { r->Check(); });
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
  RemoveFile(server_.config().spool + "/in", name_ + ".req");
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
  // Taken and consumed without an answer (the workflow commands).
  if (!Exists(in + "/" + name_ + ".req")) Finish(Outcome(GuichetAnswer::kConsumed));
}

void GuichetRequest::TimedOut() {
  if (!waiting_) return;
  Check();
  if (!waiting_) return;
  // Withdrawn, so it does not run later; an answer written meanwhile goes too.
  const std::string& spool = server_.config().spool;
  RemoveFile(spool + "/in", name_ + ".req");
  RemoveFile(spool + "/out", name_ + ".htm");
  RemoveFile(spool + "/out", name_ + ".rdy");
  Finish(Outcome(GuichetAnswer::kTimeout));
}

}  // namespace guichet::web
