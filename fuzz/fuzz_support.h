// What every fuzz target shares: a check that aborts like a sanitizer
// finding when an invariant of the reader under test does not hold. Every
// target also links quiet_log.cc, whose LLVMFuzzerInitialize installs a
// logger that formats each line at every level and drops it, so the log
// paths of the readers run without flooding the fuzzer's output.
// Single-threaded, as libFuzzer calls its targets.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                             \
  do {                                                                                    \
    if (!(condition)) {                                                                   \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)
