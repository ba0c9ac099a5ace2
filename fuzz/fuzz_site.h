// Support for the fuzz targets: one temporary site per process, laid out like a real
// one, with a Guichet whose folders point into it, on the real Env and a silent view.
//
// Targets write their input into the site, call one procedure, and clean up what the
// call may have left where the next input could see it. The site is laid out again from
// scratch every few hundred inputs, so that what accumulates (sessions, queued lines,
// documents moved around) stays small and every input meets nearly the same state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/guichet.h"
#include "platform/desktop.h"
#include "platform/view.h"

namespace guichet::fuzz {

class FuzzSite {
 public:
  // The site of this process, made on first use and removed at exit.
  static FuzzSite& Get();

  // Lays the site out again and makes a new Guichet every `every` calls.
  void Tick(int every = 500);
  // Lays the site out again now.
  void Reset();

  Guichet& g() { return *g_; }
  const std::string& root() const { return root_; }
  std::string app() const { return root_ + "/Guichet"; }
  std::string spool() const { return root_ + "/IsapiHalvero"; }
  std::string tasks() const { return root_ + "/Tasks"; }

  // The one logged-on user and session the request targets use.
  static constexpr const char* kUser = "u1";
  static constexpr const char* kToken = "0123456789abcdef0123456789abcdef";

 private:
  FuzzSite();
  void Layout();

  std::string root_;
  std::unique_ptr<StatusView> view_;
  std::unique_ptr<Desktop> desktop_;
  std::unique_ptr<Guichet> g_;
  int calls_ = 0;
};

// Plain file helpers for the targets (the site's own fixtures, not Guichet's files).
void WriteFile(const std::string& path, std::string_view data);
void RemoveTree(const std::string& path);
void RemoveFilesIn(const std::string& folder);
void MakeDirs(const std::string& path);

}  // namespace guichet::fuzz
