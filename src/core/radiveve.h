// Loader of the codec library Radiveve.so (Radiveve.dll on Windows), the outside module that
// decodes Speex dictations, makes byte-swapping copies of audio samples and computes MD5 digests.
//
// The library lies in the application folder and exports one C function, `Radiveve`
// (a 32-bit count, the command word, seven argument texts; a 16-bit result, 0 for
// success). CallRadiveve loads it on first use and keeps it loaded for the life of the
// process; a load that failed is tried again on the next call, so a library put in place
// later is picked up without a restart. The caller makes the application folder the
// current directory itself; the loader never changes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace guichet {

// Results of CallRadiveve when the library itself could not be used. Both count as a
// failed call; the library's own codes are 0 or positive.
constexpr int16_t kRadiveveNotLoaded = -1;     // Radiveve.so missing or not loadable
constexpr int16_t kRadiveveNoEntryPoint = -2;  // loaded, but exports no `Radiveve`

// Calls `Radiveve`(count, command, a1..a7) of appFolder + "/Radiveve.so". `args` gives
// a1..a7 in order; missing ones are passed as empty texts, any beyond the seventh are
// ignored. Returns the library's result, or one of the codes above.
int16_t CallRadiveve(const std::string& appFolder, int32_t count, const std::string& command,
                     const std::vector<std::string>& args);

}  // namespace guichet
