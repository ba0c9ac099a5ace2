// The users file and the digests of session tokens.
//
// Guichet knows its users from "guichet_users.txt" in the application folder, which the
// administrator keeps by hand and Guichet only reads, again from its start at every
// lookup. A line starting with ";" is a comment; an entry is a line whose first "=" has
// at least one character before and after it:
//   anna:secret=U0042      a password entry (log-on name, ":", password, "=", identifier)
//   0a1b2c...=U0042        a key entry (device key, "=", identifier): no password needed
//
// Session tokens are the MD5 digest, made by the codec library's "md5" command, of a text
// naming the user, the time and 128 bits from the system's random source, so that a token
// cannot be guessed from what it names.
#pragma once

#include <string>

#include "platform/datetime.h"

namespace guichet {

class Guichet;

// The user identifier (value trimmed of spaces) of the first entry that matches, or "":
// an entry whose name part equals `uuid` without regard to case (a key entry; sets
// `emptyloginallowed`), or, when `logon` is not empty, whose name part holds `logon`
// followed by ":" (exact case). An unexpected failure shows a message box and returns "".
std::string logon2id(Guichet& g, const std::string& logon, const std::string& uuid,
                     bool& emptyloginallowed);

// True when some password entry whose value (untrimmed) equals `idUtilisateur` without
// regard to case carries exactly the password `p3`. An unexpected failure shows a message
// box and returns false.
bool isPasswordCorrect(Guichet& g, const std::string& idUtilisateur, const std::string& p3);

// The digest that the codec library writes for `text` followed by CR LF, passed through
// unchanged, or "" on any failure (logged). Uses the fixed files "~guichet_raw_temp.txt"
// and "~guichet_md5_temp.txt" in the application folder and makes that folder the current
// directory: never call it twice at once.
std::string CalculateMD5(Guichet& g, const std::string& text);

// 32 hexadecimal digits (128 bits) from the system's random source; "" when it cannot be
// read.
std::string AleaJeton();

// The digest input of a session token: "JetonProvisoire" + log-on name + identifier + the
// time as "yyyymmddhhnnss" + the random part.
std::string TexteJeton(const std::string& nom, const std::string& idUtilisateur,
                       const DateTime& now, const std::string& alea);

// A new session token for the user, or "" when none could be made (no random part, or
// the digest failed): the caller must then open no session.
std::string FabriqueJeton(Guichet& g, const std::string& nom, const std::string& idUtilisateur);

}  // namespace guichet
