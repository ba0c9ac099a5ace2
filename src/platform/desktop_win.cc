// The desktop services on Windows. The instance guard is a named mutex whose name comes
// from the folder that holds the executable, the installation, spelled the way the file
// system compares names (without regard to case); it is held until the process ends and
// creates no file.
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/desktop.h"
#include "support/text.h"

namespace guichet {
namespace {

class NoDesktop : public Desktop {
 public:
  int CountMatchingWindows(const std::string&, const std::string&) override { return 0; }
};

// Names of kernel objects may not hold "\" and stay well under MAX_PATH: a digest of the
// whole folder name, followed by its end for whoever lists the objects.
std::wstring MutexName(const std::string& folder) {
  std::string upper = ToUpper(folder);
  for (char& c : upper) {
    if (c == '\\') c = '/';
  }
  uint64_t digest = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : upper) digest = (digest ^ c) * 1099511628211ull;
  static const char kHex[] = "0123456789abcdef";
  std::string name = "Local\\Guichet-";
  for (int shift = 60; shift >= 0; shift -= 4) name += kHex[(digest >> shift) & 0xf];
  name += "-";
  name += upper.size() > 100 ? upper.substr(upper.size() - 100) : upper;
  std::u16string wide = ToUtf16(name);
  return std::wstring(wide.begin(), wide.end());
}

}  // namespace

std::unique_ptr<Desktop> MakeNoDesktop() { return std::make_unique<NoDesktop>(); }

bool AcquireInstanceLock(const std::string& executable_path) {
  static HANDLE held = nullptr;
  if (held != nullptr) return true;
  size_t slash = executable_path.find_last_of("/\\");
  const std::string folder =
      slash == std::string::npos ? "." : executable_path.substr(0, slash == 0 ? 1 : slash);
  HANDLE mutex = CreateMutexW(nullptr, TRUE, MutexName(folder).c_str());
  if (mutex == nullptr) return true;  // nothing to hold: nothing to compare with either
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return false;
  }
  held = mutex;  // kept for the life of the process
  return true;
}

}  // namespace guichet
