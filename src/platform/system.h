// Services of the operating system that sit outside the Env: loading a function from a
// shared library, and random bytes for secrets.
#pragma once

#include <cstddef>
#include <string>

namespace guichet {

// The file name ending of a shared library on this system (".so", ".dll").
extern const char kSharedLibrarySuffix[];

enum class LoadResult { kLoaded, kNotLoaded, kNoEntryPoint };

// Loads the library at `path` (a site path in Windows-1252, "/" separated) and looks up
// the exported function `name`. The library stays loaded for the life of the process
// when the function was found; it is released otherwise.
LoadResult LoadLibraryFunction(const std::string& path, const char* name, void** function);

// Fills `buf` with `n` bytes from the system's secure random source; false when it
// cannot.
bool SystemRandomBytes(unsigned char* buf, size_t n);

}  // namespace guichet
