#include "platform/desktop.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace guichet {
namespace {

class NoDesktop : public Desktop {
 public:
  int CountMatchingWindows(const std::string&, const std::string&) override { return 0; }
};

}  // namespace

std::unique_ptr<Desktop> MakeNoDesktop() { return std::make_unique<NoDesktop>(); }

bool AcquireInstanceLock(const std::string& executable_path) {
  static int held = -1;
  if (held >= 0) return true;
  size_t slash = executable_path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : executable_path.substr(0, slash);
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;  // nothing to lock on: nothing to compare with either
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  held = fd;  // kept open for the life of the process
  return true;
}

}  // namespace guichet
