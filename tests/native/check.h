// A tiny assertion kit for the native test programs: CHECK records a failure
// with its file and line and carries on; check_exit_code() reports the tally
// and gives the process exit status.
#pragma once

#include <cstdio>
#include <string>

namespace check {

inline int failures = 0;
inline int passes = 0;

inline bool record(bool ok, const char* what, const char* file, int line) {
  if (ok) {
    ++passes;
  } else {
    ++failures;
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  }
  return ok;
}

inline bool record_equal(const std::string& got, const std::string& want, const char* what, const char* file,
                         int line) {
  bool ok = record(got == want, what, file, line);
  if (!ok) std::fprintf(stderr, "    got:  \"%s\"\n    want: \"%s\"\n", got.c_str(), want.c_str());
  return ok;
}

inline int exit_code(const char* program) {
  std::printf("%s: %d checks passed, %d failed\n", program, passes, failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace check

#define CHECK(cond) ::check::record(static_cast<bool>(cond), #cond, __FILE__, __LINE__)
#define CHECK_TEXT(got, want) ::check::record_equal((got), (want), #got " == " #want, __FILE__, __LINE__)
