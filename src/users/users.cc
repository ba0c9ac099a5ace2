#include "users/users.h"

#include <vector>

#include "core/guichet.h"
#include "core/radiveve.h"
#include "platform/env.h"
#include "platform/system.h"
#include "support/text.h"

namespace guichet {
namespace {

constexpr char kUsersFile[] = "guichet_users.txt";
constexpr char kRawFile[] = "~guichet_raw_temp.txt";
constexpr char kMd5File[] = "~guichet_md5_temp.txt";

// One entry of the users file: the text before the first "=" and the text after it.
struct Entree {
  std::string nom;
  std::string valeur;
};

// False for comments and for lines whose first "=" is missing, first or last.
bool LitEntree(const std::string& line, Entree* e) {
  if (!line.empty() && line[0] == ';') return false;
  size_t eq = line.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == line.size()) return false;
  e->nom = line.substr(0, eq);
  e->valeur = line.substr(eq + 1);
  return true;
}

// The lines of the users file; false (nothing to read) when it is missing or empty.
// A file that exists but cannot be read raises a Failure.
bool LitFichierUsers(Guichet& g, std::vector<std::string>* lines) {
  std::string path = g.App(kUsersFile);
  FileInfo info;
  if (!g.env.GetAdminFileInfo(path, &info).ok() || info.size == 0) return false;
  Check(ReadAdminLines(g.env, path, lines));
  return true;
}

bool LitAlea(unsigned char* buf, size_t n) { return SystemRandomBytes(buf, n); }

}  // namespace

std::string logon2id(Guichet& g, const std::string& logon, const std::string& uuid,
                     bool& emptyloginallowed) {
  std::string result;
  try {
    std::vector<std::string> lines;
    if (!LitFichierUsers(g, &lines)) return result;
    const std::string uuidMin = ToLower(uuid);
    const std::string cherche = logon + ":";
    Entree e;
    for (const std::string& line : lines) {
      if (!LitEntree(line, &e)) continue;
      if (ToLower(e.nom) == uuidMin) {
        emptyloginallowed = true;
        return Trim(e.valeur);
      }
      if (!logon.empty() && e.nom.find(cherche) != std::string::npos) return Trim(e.valeur);
    }
  } catch (const std::exception& ex) {
    g.view.MessageBox("logon2id : " + DescriptionOf(ex));
  }
  return result;
}

bool isPasswordCorrect(Guichet& g, const std::string& idUtilisateur, const std::string& p3) {
  try {
    std::vector<std::string> lines;
    if (!LitFichierUsers(g, &lines)) return false;
    const std::string idMin = ToLower(idUtilisateur);
    Entree e;
    for (const std::string& line : lines) {
      if (!LitEntree(line, &e)) continue;
      if (ToLower(e.valeur) != idMin) continue;
      // Positions from 0: the password lies strictly between the first ":" and the first
      // "=", and neither the log-on name nor the password may be empty.
      size_t c = line.find(':');
      size_t eq = line.find('=');
      if (c == std::string::npos || c < 1 || c + 1 >= eq) continue;
      if (line.compare(c + 1, eq - c - 1, p3) == 0) return true;
    }
  } catch (const std::exception& ex) {
    g.view.MessageBox("isPasswordCorrect : " + DescriptionOf(ex));
  }
  return false;
}

std::string CalculateMD5(Guichet& g, const std::string& text) {
  Env& env = g.env;
  const std::string raw = g.App(kRawFile);
  const std::string out = g.App(kMd5File);
  try {
    // A digest left by an earlier failed call must never be taken for this one.
    if (env.FileExists(out)) Check(env.DeleteFile(out));
    Check(env.WriteSecretFileAtomic(raw, text + std::string(kCrLf)));
    Check(env.ChangeDir(g.AppFolder));
    int16_t status = CallRadiveve(g.AppFolder, 4, "md5", {raw, out});
    // The text is overwritten before its file goes.
    Check(env.WriteFile(raw, std::string(41, '*') + std::string(kCrLf)));
    Check(env.DeleteFile(raw));
    if (status != 0) {
      g.EcritLog("CalculateMD5 : Erreur Radiveve : " + Dec(status));
      return "";
    }
    if (!env.FileExists(out)) {
      g.EcritLog("CalculateMD5 : Erreur : MD5 non " + W("créé"));
      return "";
    }
    std::string line;
    Check(ReadFirstLine(env, out, &line));
    Status s = env.DeleteFile(out);  // the hash must not stay on disk unnoticed
    if (!s.ok()) g.EcritLog("CalculateMD5 : " + s.Description() + " (" + out + ")");
    return line;
  } catch (const std::exception& ex) {
    g.EcritLog("CalculateMD5 : " + DescriptionOf(ex));
    if (env.FileExists(raw)) {
      // The password must not stay on disk unnoticed: overwritten, then removed.
      Status s = env.WriteFile(raw, std::string(41, '*') + std::string(kCrLf));
      if (!s.ok()) g.EcritLog("CalculateMD5 : " + s.Description() + " (" + raw + ")");
      s = env.DeleteFile(raw);
      if (!s.ok()) g.EcritLog("CalculateMD5 : " + s.Description() + " (" + raw + ")");
    }
    return "";
  }
}

std::string AleaJeton() {
  unsigned char buf[16];
  if (!LitAlea(buf, sizeof buf)) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (unsigned char b : buf) {
    s += kHex[b >> 4];
    s += kHex[b & 0x0f];
  }
  return s;
}

std::string TexteJeton(const std::string& nom, const std::string& idUtilisateur,
                       const DateTime& now, const std::string& alea) {
  return "JetonProvisoire" + nom + idUtilisateur + Format(now, "yyyymmddhhnnss") + alea;
}

std::string FabriqueJeton(Guichet& g, const std::string& nom, const std::string& idUtilisateur) {
  std::string alea = AleaJeton();
  if (alea.empty()) {
    g.EcritLog("FabriqueJeton : source " + W("aléatoire") + " illisible");
    return "";
  }
  return CalculateMD5(g, TexteJeton(nom, idUtilisateur, g.env.Now(), alea));
}

}  // namespace guichet
