// One request of the web front end and its answer: the request file, the request values,
// the reply list and the page context handed to the command handlers.
//
// The front end writes R/in/<name>.req (six lines: the path "/portail.hv", the session
// token, the command, then the values); Guichet answers with R/out/<name>.htm and then the
// ready marker R/out/<name>.rdy holding the number of rows of the reply list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace guichet {

struct Requete {
  // Files of the exchange.
  std::string reqfileend;  // name only, as found in the spool
  std::string reqpath;     // R/in/<name>.req
  std::string htmfile;     // R/out/<name>.htm
  std::string rdyfile;     // R/out/<name>.rdy

  // The six lines.
  std::string path;     // line 1, must be exactly "/portail.hv"
  std::string logon;    // line 2, the session token
  std::string command;  // line 3
  std::string line4;
  std::string line5;  // the second value, any "|" kept
  std::string line6;  // after splitting: p(3)

  // p(0) = "", p(1) = line 4, p(2) = line 5 with "|" as "!", p(3)... = fields of line 6.
  std::vector<std::string> p;
  // The reply list; its size is the content of the ready marker.
  std::vector<std::string> col;

  // Page context.
  std::string idUtilisateur;
  std::string nomutilisateur = "?";
  std::string idservice;
  std::string nomservice;
  std::string suffixe_1svc;
  std::string reponse_au_login;  // "Utilisateur non reconnu" after a failed log-on
  std::string fond_alerte, baliselogo, permasession, siteurl, chemindossier;

  const std::string& SecondValue() const { return line5; }
  const std::string& ThirdValue() const { return p[3]; }
  // Sets the context of an identified user.
  void SetIdentified(const std::string& id);
};

// The header row of every data answer: "||command=" + command + "||".
std::string CommandHeader(const std::string& command);

// Builds the value list from lines 4, 5 and 6 (at least four entries).
std::vector<std::string> SplitValues(const std::string& line4, const std::string& line5,
                                     const std::string& line6);

}  // namespace guichet
