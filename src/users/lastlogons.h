// The last-logon memory: the session table saved to "guichet_lastlogons.txt" in the
// application folder (token;user;expiry, one session a line) and read back at start-up,
// so open sessions survive a restart.
#pragma once

namespace guichet {

class Guichet;

// Writes the file from the session table, replacing it atomically (a crash never leaves
// it cut short). With no session, no file remains; when the new file cannot be written
// the old one is removed, so closed sessions never come back. Never fails.
void SauveDerniersLogons(Guichet& g);

// Appends the file's sessions to the session table; lines that are blank, whose token is
// empty or whose third field is not a date and time are skipped. Never fails.
void ChargeDerniersLogons(Guichet& g);

}  // namespace guichet
