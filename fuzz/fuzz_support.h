// What every fuzz target shares: a logger that formats every line at every
// level and then drops it, so the log paths of the readers run without
// flooding the fuzzer's output, and a check that aborts like a sanitizer
// finding when an invariant of a reader does not hold. Single-threaded, as
// libFuzzer calls its targets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/log.h"

namespace upd::fuzz {

class null_log_t : public cf_log_t {
 public:
  void open() override {}
  void log(int, const std::string&) override {}
  void log_tagged(const std::string&, int, const std::string&) override {}
  void log_no_memory() override {}
};

// Call once from LLVMFuzzerInitialize or the first input.
inline void quiet_log() {
  cf_log_t::level_ = log_debug;
  cf_log_t::set_log(std::make_shared<null_log_t>());
}

}  // namespace upd::fuzz

// An invariant of the reader under test; a failure is a finding.
#define FUZZ_CHECK(condition)                                                   \
  do {                                                                          \
    if (!(condition)) {                                                         \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                             \
    }                                                                           \
  } while (0)
