// libFuzzer's entry points for every target: the log threshold at Debug, so
// every log line of the readers is formatted, a logger that drops them, and
// each input handed to the target as bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/log.h"
#include "fuzz_support.h"

namespace {

class null_log_t : public upd::cf_log_t {
 public:
  void open() override {}
  void log(int, const std::string&) override {}
  void log_tagged(const std::string&, int, const std::string&) override {}
  void log_no_memory() override {}
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  upd::cf_log_t::level_ = upd::log_debug;
  upd::cf_log_t::set_log(std::make_shared<null_log_t>());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_one(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
