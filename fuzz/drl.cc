// Fuzz target: the DRL server-list reader. Each input is parsed as it is,
// and again with its first "sign=" line carrying a valid signature of the
// bytes before it, so that the lines and the unsigned tail are reached past
// the signature check. A failure must be one of the reader's two errors.
#include <stdexcept>
#include <string>

#include "formats/drl_file.h"
#include "formats/signing.h"
#include "fuzz_support.h"

namespace {

void parse(std::string_view bytes) {
  upd::drl_file_t file;
  try {
    file.parse(bytes, "fuzz.drl");
  } catch (const std::runtime_error& e) {
    FUZZ_CHECK(std::string_view(e.what()) == "invalid format" || std::string_view(e.what()) == "invalid signature");
    return;
  }
  for (const std::string& url : file.urls()) FUZZ_CHECK(bytes.find(url) != std::string_view::npos);
  FUZZ_CHECK(file.shuffled_urls().size() == file.urls().size());
}

}  // namespace

void fuzz_one(std::string_view bytes) {
  parse(bytes);
  // The start of the first line that begins with "sign=" (after a CR or an LF).
  const std::size_t found = std::min(bytes.find("\nsign="), bytes.find("\rsign="));
  const std::size_t line = bytes.starts_with("sign=") ? 0 : found == std::string_view::npos ? found : found + 1;
  if (line == std::string_view::npos || !upd::testing::can_sign()) return;
  const std::size_t end = std::min(bytes.find_first_of("\r\n", line), bytes.size());
  parse(std::string(bytes.substr(0, line)) + "sign=" + upd::testing::signature_of(bytes.substr(0, line)) +
        std::string(bytes.substr(end)));
}
