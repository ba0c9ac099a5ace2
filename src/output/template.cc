#include "output/template.h"

#include "core/guichet.h"
#include "core/request.h"
#include "output/html.h"
#include "support/text.h"

namespace guichet {
namespace {

std::string Encode(const std::string& s) { return NbspSiVide(Asc2Htm(s)); }

// Replaces without regard to case, skipping the work when the line holds no "[".
void Remplace(std::string& line, std::string_view from, const std::string& to) {
  if (ContainsNoCase(line, from)) line = ReplaceAllNoCase(line, from, to);
}

}  // namespace

std::string RemplitLigne(const std::string& source, const Requete& r, const DateTime& now) {
  std::string line = source;
  if (line.find('[') == std::string::npos) return line;
  Remplace(line, "[logon]", r.logon);
  Remplace(line, "[reponse_au_login]", Encode(r.reponse_au_login));
  Remplace(line, "[idutilisateur]", r.idUtilisateur);
  Remplace(line, "[nomutilisateur]", Encode(r.nomutilisateur));
  Remplace(line, "[idservice]", r.idservice);
  Remplace(line, "[nomservice]", Encode(r.nomservice));
  Remplace(line, "[suffixe_1svc]", r.suffixe_1svc);
  line = ReplaceAll(line, "[baliselogo]", r.baliselogo);
  Remplace(line, "[status]", "");
  for (size_t i = 2; i < r.p.size(); ++i)
    Remplace(line, "[p" + Dec(static_cast<int64_t>(i)) + "]", Encode(r.p[i]));
  Remplace(line, "[now]", Format(now, "dd/mm/yyyy hh:nn"));
  Remplace(line, "[now2]", Format(now, "dd/mm/yyyy hh:nn:ss"));
  Remplace(line, "[today]", Format(now, "dd/mm/yyyy"));

  for (size_t i = 2; i < r.p.size(); ++i) {
    if (line.find('[') == std::string::npos) break;
    const std::string n = Dec(static_cast<int64_t>(i));
    std::optional<DateTime> d = ParseDate(r.p[i]);
    if (d) {
      Remplace(line, "[timep" + n + "]", Format(*d, "dd/mm/yyyy hh:nn"));
      Remplace(line, "[datep" + n + "]", Format(*d, "dd/mm/yyyy"));
      Remplace(line, "[dateminp" + n + "]", Format(*d, "dd/mm/yyyy") + " 00:00");
      Remplace(line, "[datemaxp" + n + "]", Format(*d, "dd/mm/yyyy") + " 23:59");
    } else {
      Remplace(line, "[timep" + n + "]", Format(now, "dd/mm/yyyy hh:nn"));
      Remplace(line, "[datep" + n + "]", Format(now, "dd/mm/yyyy"));
      Remplace(line, "[dateminp" + n + "]", "01/01/1900");
      Remplace(line, "[datemaxp" + n + "]", "01/01/9999");
    }
  }
  return line;
}

bool PrintModele(Guichet& g, const Requete& r, const std::string& t) {
  const std::string folder = g.App("ModelesPortail");
  if (!g.env.FolderExists(folder)) {
    PrintBodyErr(g.env, r.htmfile, W("Répertoire 'ModelesPortail' manquant"));
    return false;
  }
  const std::string path = folder + "/" + t + ".txt";
  if (!AdminFileExists(g.env, path)) {
    PrintBodyErr(g.env, r.htmfile, "Erreur de configuration");
    return false;
  }
  std::vector<std::string> lines;
  Check(ReadAdminLines(g.env, path, &lines));
  const DateTime now = g.env.Now();
  std::string out;
  for (const std::string& line : lines) {
    if (!line.empty() && line[0] == ';') continue;
    out += RemplitLigne(line, r, now);
    out += kCrLf;
  }
  Check(g.env.WriteAnswer(r.htmfile, out, false));
  g.IncCompte();
  return true;
}

}  // namespace guichet
