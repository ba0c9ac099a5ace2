// The log-on commands: "login", "getlogon" and "logout", and the identification of a
// user by log-on name, device key and password that opens a session.
#pragma once

#include "exchange/request.h"

namespace guichet {

class Guichet;

// For "login" and "getlogon": identifies the user from the request and opens a session
// on success, and returns true. For every other command returns false: the dispatcher
// then looks the session token up.
bool IdentifieParLogon(Guichet& g, Requete& r);

}  // namespace guichet
