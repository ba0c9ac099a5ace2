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

// Adds the session just opened (the last entry of the table) to the file: one line
// appended and flushed to the disk, so that a log-on costs the same with 10 or 100,000
// open sessions and a crash at any instant keeps every session handed out. Once the
// lines added so since the last whole write reach an eighth of the table (16 at least),
// the file is written whole instead, as SauveDerniersLogons does, which also drops the
// sessions closed or expired since and keeps the renewed expiries. When the line cannot
// be added, the file is written whole. Never fails.
void AjouteDernierLogon(Guichet& g);

// Appends the file's sessions to the session table; lines that are blank, whose token is
// empty or whose third field is not a date and time are skipped. Never fails.
void ChargeDerniersLogons(Guichet& g);

}  // namespace guichet
