#include "exchange/logon.h"

#include "core/guichet.h"
#include "core/sessions.h"
#include "output/html.h"
#include "output/template.h"
#include "support/text.h"
#include "users/lastlogons.h"
#include "users/users.h"

namespace guichet {
namespace {

constexpr std::string_view kMarqueur = "__UUID__";
constexpr char kNonReconnu[] = "Utilisateur non reconnu";

// kPermutation[d] is the digit that the scrambled digit d stands for. Clients scramble
// with the inverse, "b2907e5c3a18f6d4" (see README, "Device keys").
constexpr char kPermutation[] = "3a18f6d4b2907e5c";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string CleDepuis(std::string_view texte) {
  std::string cle = ReplaceAll(texte, kMarqueur, "");
  return cle.size() == 48 ? DecodeCleAppareil(cle) : cle;
}

// Splits the log-on field into the log-on name and the device key.
void LitChampLogon(const std::string& f, std::string* nom, std::string* cle) {
  size_t pos = f.find(kMarqueur);
  if (pos == std::string::npos) {
    *nom = f;
    cle->clear();
    return;
  }
  *nom = f.substr(0, pos);
  *cle = CleDepuis(std::string_view(f).substr(pos));
}

}  // namespace

std::string DecodeCleAppareil(const std::string& cle) {
  std::string out;
  out.reserve(40);
  for (size_t pos = 44; pos >= 5; --pos) {
    if (pos > cle.size()) continue;  // only a 48-character key has them all
    char c = cle[pos - 1];
    int v = HexValue(c);
    out += v < 0 ? c : kPermutation[v];
  }
  return out;
}

bool IdentifieParLogon(Guichet& g, Requete& r) {
  if (r.command != "login" && r.command != "getlogon") return false;

  std::string nom, cle;
  LitChampLogon(r.SecondValue(), &nom, &cle);
  r.logon = nom;

  bool emptyloginallowed = false;
  std::string id = logon2id(g, nom, cle, emptyloginallowed);
  const bool sansMotDePasse = nom.empty() && emptyloginallowed;
  if (!id.empty()) {
    if (isPasswordCorrect(g, id, r.ThirdValue()) || sansMotDePasse) {
      // A session is opened only with a token: a failed digest is a failed log-on.
      std::string jeton = FabriqueJeton(g, nom, id);
      if (jeton.empty()) {
        id.clear();
      } else {
        r.logon = jeton;
        g.Sessions.Append(jeton, id, ExpiryText(g.env.Now()));
        AjouteDernierLogon(g);
      }
    } else {
      id.clear();
    }
  }
  if (id.empty()) {
    r.reponse_au_login = kNonReconnu;
  } else {
    r.SetIdentified(id);
  }
  return true;
}

void TraiteLoginLogout(Guichet& g, Requete& r) {
  if (r.command == "logout") {
    g.Sessions.RemoveToken(r.logon);
    r.logon.clear();
    SauveDerniersLogons(g);
    PrintModele(g, r, "login");
    return;
  }
  if (r.reponse_au_login.empty()) {
    PrintModele(g, r, "menu");
  } else {
    r.logon.clear();
    PrintModele(g, r, "login");
  }
}

void TraiteGetlogon(Guichet& g, Requete& r) {
  r.col.push_back(CommandHeader("getlogon"));
  r.col.push_back(r.reponse_au_login.empty() ? r.logon : "(" + std::string(kNonReconnu) + ")");
  PrintAsc2HtmTrimCol(g.env, r.htmfile, r.col);
}

}  // namespace guichet
