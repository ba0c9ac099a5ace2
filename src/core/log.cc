#include "core/log.h"

#include <cerrno>

#include "core/records.h"

namespace guichet {

std::string Journal::LogFilePath(const DateTime& now) {
  std::string exe = env_.ExecutablePath();
  std::string folder = exe.find('/') == std::string::npos ? "." : DossierParent(exe);
  return folder + "/LogHalvero" + Format(now, "yymmdd") + ".txt";
}

void Journal::EcritLog(const std::string& message) noexcept {
  int saved_errno = errno;
  try {
    DateTime now = env_.Now();
    std::string name = NomFichier(env_.ExecutablePath());
    std::string line = Format(now, "dd/mm/yyyy hh:nn:ss") + " " + name + " : " + message;
    if (!phase_.empty()) line += " (Phase : " + phase_ + ")";
    line += "\r\n";
    // The day log never disturbs its caller: a line that cannot be written is lost.
    IgnoreFailure(env_.AppendFileLocked(LogFilePath(now), line));
  } catch (...) {
    // The line is lost; the caller goes on undisturbed.
  }
  errno = saved_errno;
}

}  // namespace guichet
