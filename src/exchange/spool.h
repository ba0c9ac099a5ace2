// The request pickup: keeps the spool folders in shape, drops expired sessions, purges
// what nobody collected, and hands each waiting request to the dispatcher in reverse
// listing order.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/env.h"

namespace guichet {

class Guichet;

// Returns the number of requests handled, plus one when the pass failed. On the bad
// file name or number failure, starts "RiVuvorad.exe", saves the sessions and ends the
// process. `upkeep` is the tick's own pass: it also keeps the folders in shape, purges,
// and tries again the requests whose answer could not be written; a pass between ticks
// (files just arrived) only answers what waits.
int32_t RepereRequete(Guichet& g, bool upkeep = true);

// Whether a failure is the one that ends both pickups: the bad file name or number (a
// handle gone bad, no descriptor left), told by its kind.
bool IsFatalFailure(const Status& s);
bool IsFatalFailure(const std::exception& e);

// The way out of both pickups after the bad file name or number failure: frees a
// descriptor, starts `program` from the application folder when it exists, and ends the
// process.
void FatalPath(Guichet& g, const char* program, bool save_sessions);

}  // namespace guichet
