#include "exchange/logon.h"

#include "shell/guichet.h"

namespace guichet {

bool IdentifieParLogon(Guichet& g, Requete& r) {
  (void)g;
  return r.command == "login" || r.command == "getlogon";
}

}  // namespace guichet
