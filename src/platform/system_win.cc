#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include "platform/system.h"
#include "platform/win_text.h"

namespace guichet {

const char kSharedLibrarySuffix[] = ".dll";

LoadResult LoadLibraryFunction(const std::string& path, const char* name, void** function) {
  // The full path, and no search of other folders for the library's own dependencies
  // beyond the system's.
  HMODULE module = LoadLibraryExW(WidePath(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) return LoadResult::kNotLoaded;
  *function = reinterpret_cast<void*>(GetProcAddress(module, name));
  if (*function == nullptr) {
    FreeLibrary(module);
    return LoadResult::kNoEntryPoint;
  }
  return LoadResult::kLoaded;
}

bool SystemRandomBytes(unsigned char* buf, size_t n) {
  while (n > 0) {
    ULONG chunk = n > 0x40000000 ? 0x40000000 : static_cast<ULONG>(n);
    if (BCryptGenRandom(nullptr, buf, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) return false;
    buf += chunk;
    n -= chunk;
  }
  return true;
}

}  // namespace guichet
