// The desktop services Guichet asks about: the windows of other applications, and a
// guard against a second instance of the same installation.
#pragma once

#include <memory>
#include <string>

namespace guichet {

class Desktop {
 public:
  virtual ~Desktop() = default;
  // Number of windows anywhere on the desktop whose upper-cased title and class both
  // match the (upper-cased) patterns of the window-title matcher.
  virtual int CountMatchingWindows(const std::string& title_pattern,
                                   const std::string& class_pattern) = 0;
};

// A desktop without windows (no display): counts 0.
std::unique_ptr<Desktop> MakeNoDesktop();

// Takes an exclusive, non-blocking flock on the installation: the folder that holds the
// executable (not the executable's file, which an upgrade replaces by a rename), held
// until the process ends. Creates and touches no file. False when another process holds
// it.
bool AcquireInstanceLock(const std::string& executable_path);

}  // namespace guichet
