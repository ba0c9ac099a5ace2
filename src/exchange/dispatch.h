// The request dispatcher: reads one request file, identifies the session, hands the
// command to its handler and finishes the exchange with the ready marker.
#pragma once

#include <cstdint>
#include <string>

#include "core/request.h"

namespace guichet {

class Guichet;

// Request files are read up to this size; a larger one is answered with the failure
// page (a real request is a few hundred bytes).
constexpr int64_t kMaxRequestBytes = 256 * 1024;

// Answers one request, under the names R/out/<base>.htm and R/out/<base>.rdy, where
// <base> is the request's name without its ".req" ending, exactly as found. Returns
// false when the request was ignored (no request file, or a path line other than
// "/portail.hv"): nothing was written and it does not count as activity. Every failure
// inside is answered with the failure page; when neither the answer nor the failure
// page nor the marker can be written, the failure is logged, `*failed` is set and the
// request stays pending. Only the bad handle failure is raised, to the pickup's way out.
bool TraiteRequete(Guichet& g, const std::string& reqfileend, bool* failed = nullptr);

}  // namespace guichet
