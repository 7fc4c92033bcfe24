// What every fuzz target shares. quiet_log.cc holds libFuzzer's entry points:
// LLVMFuzzerInitialize installs a logger that formats each line at every
// level and drops it, so the log paths of the readers run without flooding
// the fuzzer's output, and LLVMFuzzerTestOneInput hands each input to the
// target's fuzz_one. FUZZ_CHECK aborts like a sanitizer finding when an
// invariant of the reader under test does not hold. Single-threaded, as
// libFuzzer calls its targets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(condition)                                                                           \
  do {                                                                                                  \
    if (!(condition)) {                                                                                 \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);               \
      std::abort();                                                                                     \
    }                                                                                                   \
  } while (0)

// Defined by each target: one input.
void fuzz_one(std::string_view bytes);
