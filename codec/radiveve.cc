// Entry point of the codec library. Commands are added by their own modules.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) int16_t Radiveve(
    int32_t count, const char* command, const char* a1, const char* a2, const char* a3,
    const char* a4, const char* a5, const char* a6, const char* a7) {
  (void)count, (void)command, (void)a1, (void)a2, (void)a3, (void)a4, (void)a5, (void)a6,
      (void)a7;
  return 1;  // unknown command
}
