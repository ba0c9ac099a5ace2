// The log-on commands: "login", "getlogon" and "logout", and the identification of a
// user by log-on name, device key and password that opens a session.
//
// The log-on field (the second request value) holds a log-on name, optionally followed by
// the marker "__UUID__" and a device key, or the marker and a key alone. A key of 48
// characters is the scrambled form that clients send and is decoded by
// DecodeCleAppareil; any other key is used as sent. A client admitted by its device key
// alone (empty log-on name) needs no password.
#pragma once

#include <string>

#include "core/request.h"

namespace guichet {

class Guichet;

// For "login" and "getlogon": identifies the user from the request and, on success, opens
// a session (token, user, expiry now + 24 h, saved at once), sets the request's token and
// page context; on failure sets the answer to the log-on to "Utilisateur non reconnu"
// and opens nothing. Returns true. For every other command returns false: the dispatcher
// then looks the session token up.
bool IdentifieParLogon(Guichet& g, Requete& r);

// The stored (40-character) form of a scrambled 48-character device key: the characters
// at positions 44 down to 5 (from 1), each hexadecimal digit passed through a fixed
// permutation of the sixteen digits (either case in, lower case out), other characters
// unchanged.
std::string DecodeCleAppareil(const std::string& cle);

// "login": the "menu" page after a successful log-on, else the "login" page without
// token. "logout": removes every session holding the token, saves the session table and
// answers with the "login" page. Both count the request only when the page was written.
void TraiteLoginLogout(Guichet& g, Requete& r);

// "getlogon": the rows "||command=getlogon||" and the token, or "(Utilisateur non
// reconnu)".
void TraiteGetlogon(Guichet& g, Requete& r);

}  // namespace guichet
