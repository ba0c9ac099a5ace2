#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "platform/system.h"

namespace guichet {

const char kSharedLibrarySuffix[] = ".so";

LoadResult LoadLibraryFunction(const std::string& path, const char* name, void** function) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return LoadResult::kNotLoaded;
  *function = ::dlsym(handle, name);
  if (*function == nullptr) {
    ::dlclose(handle);
    return LoadResult::kNoEntryPoint;
  }
  return LoadResult::kLoaded;
}

bool SystemRandomBytes(unsigned char* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = getrandom(buf + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  if (got == n) return true;
  // Kernels without getrandom: the device gives the same bytes.
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  got = 0;
  while (got < n) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  close(fd);
  return got == n;
}

}  // namespace guichet
