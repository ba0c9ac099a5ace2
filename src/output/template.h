// The portal templates "login" and "menu": text files "<t>.txt" in the folder
// "ModelesPortail" of the application folder, written out as the answer page with their
// bracketed placeholders filled from the request, its page context and the clock.
//
// A template line starting with ";" is a comment and is not written; every other line is
// written with its placeholders filled, in this order, every occurrence, letters matched
// without regard to case (but "[baliselogo]", exact case):
//   [logon] [reponse_au_login] [idutilisateur] [nomutilisateur] [idservice] [nomservice]
//   [suffixe_1svc] [baliselogo] [status] [p2] [p3]... [now] [now2] [today]
// then, for i from 2 to the last request value, [timep<i>] [datep<i>] [dateminp<i>]
// [datemaxp<i>] from the date that value holds (day/month/year), or from the clock and
// the bounds 01/01/1900 and 01/01/9999 when it holds none. The first request value has
// no placeholder.
#pragma once

#include <string>

#include "platform/datetime.h"

namespace guichet {

class Guichet;
struct Requete;

// Writes template `t` filled for `r` as the answer file r.htmfile and counts the request.
// A missing template folder or template file is answered with its error page
// ("Répertoire 'ModelesPortail' manquant", "Erreur de configuration"), not counted;
// returns whether the template was written. Other failures are raised.
bool PrintModele(Guichet& g, const Requete& r, const std::string& t);

// One template line with its placeholders filled (the line is no comment).
std::string RemplitLigne(const std::string& line, const Requete& r, const DateTime& now);

}  // namespace guichet
