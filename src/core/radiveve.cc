#include "core/radiveve.h"

#include <map>

#include "platform/system.h"

namespace guichet {

namespace {

using RadiveveFn = int16_t (*)(int32_t, const char*, const char*, const char*, const char*,
                               const char*, const char*, const char*, const char*);

// Entry points of the libraries loaded so far, by library path. Handles are never closed:
// the library stays loaded until the process ends.
std::map<std::string, RadiveveFn>& LoadedLibraries() {
  static std::map<std::string, RadiveveFn> loaded;
  return loaded;
}

}  // namespace

int16_t CallRadiveve(const std::string& appFolder, int32_t count, const std::string& command,
                     const std::vector<std::string>& args) {
  std::string path = appFolder + "/Radiveve" + kSharedLibrarySuffix;
  auto& loaded = LoadedLibraries();
  auto it = loaded.find(path);
  if (it == loaded.end()) {
    void* fn = nullptr;
    switch (LoadLibraryFunction(path, "Radiveve", &fn)) {
      case LoadResult::kNotLoaded:
        return kRadiveveNotLoaded;
      case LoadResult::kNoEntryPoint:
        return kRadiveveNoEntryPoint;
      case LoadResult::kLoaded:
        break;
    }
    it = loaded.emplace(path, reinterpret_cast<RadiveveFn>(fn)).first;
  }
  const char* a[7];
  for (size_t i = 0; i < 7; ++i) a[i] = i < args.size() ? args[i].c_str() : "";
  return it->second(count, command.c_str(), a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
}

}  // namespace guichet
