// The entry point of the "custom" commands: every command that begins with "custom" is
// handed here with the whole page context of the session. Custom pages have no template
// folder of their own, so every one is answered with the error page naming the portal's
// template folder, whether that folder exists or not.
#pragma once

#include "core/request.h"

namespace guichet {

class Guichet;

// Creates the request's answer file empty, then calls AppendCustom.
void PrintCustom(Guichet& g, Requete& r);

// Replaces the request's answer file with the error page "Répertoire 'ModelesPortail'
// manquant". The rest of the request's page context shapes nothing, and the reply list
// stays empty. A failure to write is raised to the dispatcher.
void AppendCustom(Guichet& g, Requete& r);

}  // namespace guichet
