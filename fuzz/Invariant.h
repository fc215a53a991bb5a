// What a fuzz target does when the code under test breaks one of its rules.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

namespace fuzzphone {

// Aborts, so that the fuzzer keeps the input that shows the fault. With
// VELK_FUZZ_KEEP_GOING=1 in the environment each broken rule is reported once
// and the run goes on, to see how far the rest holds.
inline void Violation(const char* rule) {
  static const bool keepGoing = std::getenv("VELK_FUZZ_KEEP_GOING") != nullptr;
  static std::set<std::string> reported;
  if (!keepGoing) {
    std::fprintf(stderr, "invariant broken: %s\n", rule);
    std::abort();
  }
  if (reported.insert(rule).second) std::fprintf(stderr, "invariant broken (going on): %s\n", rule);
}

}  // namespace fuzzphone
