// Entry point of the codec library: the one exported C function, `Radiveve`, which checks the
// command word and its count and hands the arguments to the command's procedure. No C++
// exception crosses this boundary: anything unexpected becomes failure code 99.
#include <cstdint>
#include <cstring>
#include <new>

#include "codec.h"

namespace {

radiveve::Code Dispatch(int32_t count, const char* command, const char* a1, const char* a2,
                        const char* a3, const char* a4, const char* a5) {
  using namespace radiveve;
  if (command == nullptr) return kUnknownCommand;
  if (std::strcmp(command, "md5") == 0) {
    if (count != 4) return kBadCount;
    return Md5Command(a1, a2);
  }
  if (std::strcmp(command, "copyinv") == 0) {
    if (count != 6) return kBadCount;
    return CopyInvCommand(a1, a2, a3, a4, a5);
  }
  if (std::strcmp(command, "speexdec") == 0) {
    if (count != 3) return kBadCount;
    return SpeexDecCommand(a1, a2);
  }
  return kUnknownCommand;
}

}  // namespace

#ifdef _WIN32
#define RADIVEVE_EXPORT __declspec(dllexport)
#else
#define RADIVEVE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" RADIVEVE_EXPORT int16_t Radiveve(int32_t count, const char* command, const char* a1,
                                            const char* a2, const char* a3, const char* a4,
                                            const char* a5, const char* a6, const char* a7) {
  (void)a6, (void)a7;  // no command uses them
  try {
    return Dispatch(count, command, a1, a2, a3, a4, a5);
  } catch (...) {
    return radiveve::kInternal;
  }
}
