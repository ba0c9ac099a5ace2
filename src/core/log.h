// The day log: one time-stamped line per event, appended to "LogHalvero" + yymmdd +
// ".txt" in the folder of the running executable, under an exclusive byte-range lock
// shared with every other process that writes the same file.
//
// `EcritLog` never fails and never disturbs its caller: it can be called from any
// failure handler. A line that cannot be written is lost, and nothing else happens.
#pragma once

#include <string>

#include "platform/env.h"

namespace guichet {

class Journal {
 public:
  // `phase` is the text of the request in hand (LogPhase); every line carries it while
  // it is not empty.
  Journal(Env& env, const std::string& phase) : env_(env), phase_(phase) {}

  void EcritLog(const std::string& message) noexcept;

  // The day log's path for the given moment, in the executable's folder.
  std::string LogFilePath(const DateTime& now);

 private:
  Env& env_;
  const std::string& phase_;
};

}  // namespace guichet
