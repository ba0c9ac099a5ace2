#include "output/custom.h"

#include "core/guichet.h"
#include "output/html.h"
#include "support/text.h"

namespace guichet {

void PrintCustom(Guichet& g, const std::string& htmfile, const std::string& command,
                 const std::string& fond_alerte, const std::string& logon,
                 const std::string& idUtilisateur, const std::string& nomutilisateur,
                 const std::string& idservice, const std::string& nomservice,
                 const std::string& suffixe_1svc, const std::string& baliselogo,
                 const std::string& permasession, const std::string& siteurl,
                 const std::string& chemindossier, const std::vector<std::string>& p,
                 std::vector<std::string>& col) {
  Check(g.env.WriteAnswer(htmfile, "", false));
  AppendCustom(g, htmfile, command, fond_alerte, logon, idUtilisateur, nomutilisateur, idservice,
               nomservice, suffixe_1svc, baliselogo, permasession, siteurl, chemindossier, p, col);
}

void AppendCustom(Guichet& g, const std::string& htmfile, const std::string& /*command*/,
                  const std::string& /*fond_alerte*/, const std::string& /*logon*/,
                  const std::string& /*idUtilisateur*/, const std::string& /*nomutilisateur*/,
                  const std::string& /*idservice*/, const std::string& /*nomservice*/,
                  const std::string& /*suffixe_1svc*/, const std::string& /*baliselogo*/,
                  const std::string& /*permasession*/, const std::string& /*siteurl*/,
                  const std::string& /*chemindossier*/, const std::vector<std::string>& /*p*/,
                  std::vector<std::string>& /*col*/) {
  PrintBodyErr(g.env, htmfile, W("Répertoire 'ModelesPortail' manquant"));
}

}  // namespace guichet
