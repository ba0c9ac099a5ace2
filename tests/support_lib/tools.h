// Running outside tools from tests: shell quoting, exit status, captured output.
#pragma once

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <string>

namespace guichet::test {

// Quotes a text for the shell.
inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

#ifdef _WIN32
// The outside tools are Linux programs, out of reach of a Windows program under wine:
// every tool is missing there, and the tests that need one skip themselves.
inline int Shell(const std::string&) { return -1; }
inline std::string Output(const std::string&) { return std::string(); }
#else
// Runs a shell command line, its output thrown away; returns its exit status.
inline int Shell(const std::string& command) {
  int rc = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Runs a shell command line and returns its standard output.
inline std::string Output(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (p == nullptr) return out;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}
#endif

inline bool HaveTool(const std::string& name) { return Shell("command -v " + Quote(name)) == 0; }

}  // namespace guichet::test
