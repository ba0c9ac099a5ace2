#include "core/request.h"

#include "support/text.h"

namespace guichet {

void Requete::SetIdentified(const std::string& id) {
  idUtilisateur = id;
  nomutilisateur = "";
  idservice = "0";
  nomservice = "(Aucun)";
  suffixe_1svc = "";
}

std::string CommandHeader(const std::string& command) { return "||command=" + command + "||"; }

std::vector<std::string> SplitValues(const std::string& line4, const std::string& line5,
                                     const std::string& line6) {
  std::string all =
      "|" + ReplaceAll(line4, "|", "!") + "|" + ReplaceAll(line5, "|", "!") + "|" + line6;
  std::vector<std::string> p = Split(all, '|');
  while (p.size() < 4) p.emplace_back();
  return p;
}

}  // namespace guichet
