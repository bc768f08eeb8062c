// setenv/unsetenv for the shared test sources, which set environment variables the POSIX way;
// the Windows C runtime has _putenv_s instead. Included first into every Windows test.
#pragma once

#include <cstdlib>

inline int setenv(const char* AName, const char* AValue, int AOverwrite) {
  if (!AOverwrite && std::getenv(AName)) return 0;
  return _putenv_s(AName, AValue);
}

inline int unsetenv(const char* AName) { return _putenv_s(AName, ""); }
