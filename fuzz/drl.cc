// Fuzz target: the DRL server-list reader. Each input is parsed as it is,
// and again with its first "sign=" line carrying a valid signature of the
// bytes before it, so that the lines and the unsigned tail are reached past
// the signature check. A failure must be one of the reader's two errors.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "formats/drl_file.h"
#include "formats/signing.h"
#include "fuzz_support.h"

namespace {

void parse(std::string_view bytes) {
  upd::drl_file_t file;
  try {
    file.parse(bytes, "fuzz.drl");
  } catch (const std::runtime_error& e) {
    const std::string_view text = e.what();
    FUZZ_CHECK(text == "invalid format" || text == "invalid signature");
    return;
  }
  for (const std::string& url : file.urls()) FUZZ_CHECK(bytes.find(url) != std::string_view::npos);
  FUZZ_CHECK(file.shuffled_urls().size() == file.urls().size());
}

// The input with the value of its first line that begins with "sign="
// replaced by the signature of everything before that line.
std::string signed_copy(std::string_view bytes) {
  std::size_t line = 0;
  while (line < bytes.size() && !bytes.substr(line).starts_with("sign=")) {
    line = bytes.find_first_of("\r\n", line);
    if (line == std::string_view::npos) return {};
    ++line;
  }
  if (line >= bytes.size()) return {};
  const std::size_t end = std::min(bytes.find_first_of("\r\n", line), bytes.size());
  return std::string(bytes.substr(0, line)) + "sign=" + upd::testing::signature_of(bytes.substr(0, line)) +
         std::string(bytes.substr(end));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  parse(bytes);
  if (upd::testing::can_sign()) {
    const std::string copy = signed_copy(bytes);
    if (!copy.empty()) parse(copy);
  }
  return 0;
}
