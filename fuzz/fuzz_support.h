// Shared pieces of the fuzz targets.
#pragma once

#include <sched.h>

#include <cstdio>
#include <cstdlib>

#include "engine/adapters.h"

// Fails the input: libFuzzer stores it as a crash.
#define FUZZ_CHECK(cond)                                                        \
  do {                                                                          \
    if (!(cond)) {                                                              \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, \
                   #cond);                                                      \
      std::abort();                                                             \
    }                                                                           \
  } while (0)

namespace torvane_fuzz {

// Moves the fuzzing process into a network namespace of its own (an unused
// loopback and nothing else) when it may, so that nothing an engine routine
// sends can leave the process, and insists that the engine's adapter list
// is empty: the engine's sends then go nowhere at all.
inline void IsolateProcess() {
  if (unshare(CLONE_NEWNET) != 0) {
    std::fprintf(stderr, "fuzz: no network namespace of its own (not root); "
                         "the engine's adapter list stays empty\n");
  }
  if (torvane::LocalAddressCount() != 0) {
    std::fprintf(stderr, "fuzz: the engine's adapter list must be empty\n");
    std::abort();
  }
}

}  // namespace torvane_fuzz
