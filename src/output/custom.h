// The entry point of the "custom" commands: every command that begins with "custom" is
// handed here with the whole page context of the session. Custom pages have no template
// folder of their own, so every one is answered with the error page naming the portal's
// template folder, whether that folder exists or not.
#pragma once

#include <string>
#include <vector>

namespace guichet {

class Guichet;

// Creates `htmfile` empty, then calls AppendCustom with the same arguments.
void PrintCustom(Guichet& g, const std::string& htmfile, const std::string& command,
                 const std::string& fond_alerte, const std::string& logon,
                 const std::string& idUtilisateur, const std::string& nomutilisateur,
                 const std::string& idservice, const std::string& nomservice,
                 const std::string& suffixe_1svc, const std::string& baliselogo,
                 const std::string& permasession, const std::string& siteurl,
                 const std::string& chemindossier, const std::vector<std::string>& p,
                 std::vector<std::string>& col);

// Replaces `htmfile` with the error page "Répertoire 'ModelesPortail' manquant". The
// other arguments are part of the entry's contract but shape nothing. A failure to write
// is raised to the dispatcher.
void AppendCustom(Guichet& g, const std::string& htmfile, const std::string& command,
                  const std::string& fond_alerte, const std::string& logon,
                  const std::string& idUtilisateur, const std::string& nomutilisateur,
                  const std::string& idservice, const std::string& nomservice,
                  const std::string& suffixe_1svc, const std::string& baliselogo,
                  const std::string& permasession, const std::string& siteurl,
                  const std::string& chemindossier, const std::vector<std::string>& p,
                  std::vector<std::string>& col);

}  // namespace guichet
