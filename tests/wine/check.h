// A tiny assertion helper for the Windows test programs (GoogleTest is not
// available for mingw here): each check prints one line, and the program ends
// with "N passed, M failed" and a non-zero exit code on any failure.
#pragma once

#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>

namespace check {

inline int passed = 0;
inline int failed = 0;

inline bool That(bool condition, const std::string& what) {
  std::printf("%s: %s\n", condition ? "PASS" : "FAIL", what.c_str());
  std::fflush(stdout);
  (condition ? passed : failed)++;
  return condition;
}

inline bool Equal(long long actual, long long expected, const std::string& what) {
  return That(actual == expected,
              what + " (got " + std::to_string(actual) + ", want " + std::to_string(expected) + ")");
}

inline bool Equal(const std::string& actual, const std::string& expected, const std::string& what) {
  return That(actual == expected, what + " (got \"" + actual + "\", want \"" + expected + "\")");
}

// Polls `condition` every 10 ms until it holds or `milliseconds` have passed.
inline bool Within(unsigned milliseconds, const std::function<bool()>& condition) {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  while (!condition()) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
  return true;
}

inline int Summary() {
  std::printf("%d passed, %d failed\n", passed, failed);
  std::fflush(stdout);
  return failed == 0 && passed > 0 ? 0 : 1;
}

}  // namespace check
