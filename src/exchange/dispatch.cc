#include "exchange/dispatch.h"

#include <functional>

#include "core/guichet.h"
#include "core/request.h"
#include "exchange/documents.h"
#include "exchange/logon.h"
#include "exchange/spool.h"
#include "output/custom.h"
#include "output/formatted.h"
#include "output/html.h"
#include "support/names.h"
#include "support/text.h"
#include "workflow/transitions.h"

namespace guichet {
namespace {

using Handler = std::function<void(Guichet&, Requete&)>;

// The dispatch table, tested in order; the first match handles the request. `counted`:
// the handled counter goes up after the handler. `answered`: false for the workflow
// commands, which end without answer file or ready marker, their request file deleted.
struct Route {
  std::function<bool(const std::string&)> matches;
  Handler handler;
  bool counted = true;
  bool answered = true;
};

bool Is(const std::string& command, std::initializer_list<const char*> words) {
  for (const char* w : words)
    if (command == w) return true;
  return false;
}

// The custom entry takes the request; the formatted lists receive the page context under
// their own parameter names.
void TraiteCustom(Guichet& g, Requete& r) { PrintCustom(g, r); }

void TraiteFormatted(Guichet& g, Requete& r) {
  PrintFormatted(g, r.htmfile, r.command, r.logon, r.idUtilisateur, r.idservice, r.nomutilisateur,
                 r.p, r.col);
}

const std::vector<Route>& Routes() {
  static const std::vector<Route> routes = {
      // Routes are added here, in this order, by the modules that handle them:
      //  1 "login", "logout"        2 "getlogon"          3 prefix "custom"
      //  4 "attachments"            5 "archives"          6 "0"
      //  7 "configuration"          8 first char a digit  9 workflow transitions
      // 10 "getcaflen"             11 "step", "etape"    12 "createtmp"
      // 13 "finishtmp"         14 "stages"; anything else: "Commande non reconnue".
      // The log-on pages count themselves: not when the template is missing.
      {[](const std::string& c) {
         return Is(c, {"login", "logout"});
       },
       TraiteLoginLogout, false},
      {[](const std::string& c) { return c == "getlogon"; }, TraiteGetlogon},
      // 3: custom pages answer with their error page and are not counted.
      {[](const std::string& c) { return c.rfind("custom", 0) == 0; }, TraiteCustom, false},
      {[](const std::string& c) { return c == "attachments"; }, CommandeAttachments},
      {[](const std::string& c) { return c == "archives"; }, CommandeArchives},
      {[](const std::string& c) { return c == "0"; }, CommandeAgenda},
      {[](const std::string& c) { return c == "configuration"; }, CommandeConfiguration},
      // 8: the formatted lists count themselves.
      {[](const std::string& c) { return !c.empty() && c[0] >= '0' && c[0] <= '9'; },
       TraiteFormatted, false},
      // 9: the workflow transitions end without answer file or ready marker.
      {[](const std::string& c) {
         return Is(c, {"cancelled", "cleared", "invalidated", "finished"});
       },
       TraiteTransition, true, false},
      {[](const std::string& c) { return c == "getcaflen"; }, CommandeGetCafLen},
      {[](const std::string& c) {
         return Is(c, {"step", "etape"});
       },
       CommandeStep},
      {[](const std::string& c) { return c == "createtmp"; }, CommandeCreateTmp},
      {[](const std::string& c) { return c == "finishtmp"; }, CommandeFinishTmp},
      {[](const std::string& c) { return c == "stages"; }, CommandeStages},
  };
  return routes;
}

enum class Outcome { kIgnored, kAnswered, kConsumed, kFailed };

// Runs the command of the request read into `content` (`read`: how the read went).
// Failures are raised to the caller.
Outcome Dispatch(Guichet& g, Requete& r, const Status& read, std::string& content) {
  g.LogPhase = "Traitement du fichier " + r.reqpath;
  g.SetLabel(Label::kProgression2, "1%");
  g.DoEvents();

  Check(read);
  std::vector<std::string> lines = SplitLines(content);
  content.clear();
  content.shrink_to_fit();
  lines.resize(std::max<size_t>(lines.size(), 6));
  r.path = lines[0];
  r.logon = lines[1];
  r.command = lines[2];
  r.line4 = lines[3];
  r.line5 = lines[4];
  r.p = SplitValues(lines[3], lines[4], lines[5]);
  r.line6 = r.p[3];

  if (r.path != "/portail.hv") return Outcome::kIgnored;

  // Identification: every command but the log-on ones needs an open session.
  if (!IdentifieParLogon(g, r)) {
    auto entry = g.Sessions.Find(r.logon);
    if (!entry) {
      PrintBodyErr(g.env, r.htmfile, "Erreur de syntaxe ()");
      return Outcome::kAnswered;
    }
    g.Sessions.Renew(*entry, ExpiryText(g.env.Now()));
    r.SetIdentified((*entry)->idUtilisateur);
  }

  for (const Route& route : Routes()) {
    if (!route.matches(r.command)) continue;
    route.handler(g, r);
    if (route.counted) g.IncCompte();
    if (route.answered) return Outcome::kAnswered;
    // A consumed request left in "in" would be taken again on the next tick.
    Status s = g.env.DeleteFile(r.reqpath);
    if (!s.ok()) g.EcritLog("TraiteRequete : " + s.Description() + " (" + r.reqpath + ")");
    return Outcome::kConsumed;
  }
  PrintBodyErr(g.env, r.htmfile, "Commande non reconnue");
  return Outcome::kAnswered;
}

}  // namespace

bool TraiteRequete(Guichet& g, const std::string& reqfileend, bool* failed) {
  if (failed) *failed = false;
  Requete r;
  r.reqfileend = reqfileend;
  const std::string& root = g.CurrentSpoolRoot;
  r.reqpath = root + "/in/" + reqfileend;
  const std::string base = RequestBaseName(reqfileend);
  r.htmfile = root + "/out/" + base + ".htm";
  r.rdyfile = root + "/out/" + base + ".rdy";

  // A request that is no longer there (or is no regular file) is left alone. It is read
  // first and looked at only when the read fails: one look less for every request.
  std::string content;
  const Status read = g.env.ReadFile(r.reqpath, &content, kMaxRequestBytes);
  if (!read.ok() && !g.env.FileExists(r.reqpath)) return false;

  Outcome outcome;
  try {
    outcome = Dispatch(g, r, read, content);
  } catch (const std::exception& e) {
    std::string description = DescriptionOf(e);
    g.SetLabel(Label::kProgression2, "Erreur");
    g.EcritLog("TraiteRequete : " + description + " (" + r.reqpath + ")");
    try {
      PrintBodyErr(g.env, r.htmfile, "Erreur dans PortailHalvero '" + description + "'");
      outcome = Outcome::kAnswered;
    } catch (const std::exception& again) {
      // The failure page cannot be written either: no answer, no marker; the request
      // pickup decides whether to try again. Only the bad handle failure goes further,
      // to the pickup's way out.
      const std::string why = DescriptionOf(again);
      if (IsFatalFailure(again)) throw;
      g.EcritLog("TraiteRequete : " + why + " (" + r.htmfile + ")");
      outcome = Outcome::kFailed;
    }
  }
  if (outcome == Outcome::kIgnored) return false;

  if (outcome == Outcome::kAnswered) {
    // The answer is complete before the marker exists, and the marker appears whole.
    Status s = g.env.WriteAnswerAtomic(r.rdyfile, Dec(static_cast<int64_t>(r.col.size())) + "\r\n");
    if (!s.ok()) {
      g.SetLabel(Label::kProgression2, "Erreur");
      g.EcritLog("TraiteRequete : " + s.Description() + " (" + r.rdyfile + ")");
      if (IsFatalFailure(s)) Check(s);
      outcome = Outcome::kFailed;
    }
  }
  if (outcome == Outcome::kFailed) {
    if (failed) *failed = true;
    return true;
  }
  g.SetLabel(Label::kProgression2, "100%");
  g.DoEvents();
  return true;
}

}  // namespace guichet
