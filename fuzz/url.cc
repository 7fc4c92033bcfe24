// Fuzz target: URL parsing, which takes the server bases of the DRL files
// and the proxy address as they come. Parsing never fails, and parsing the
// text of a parsed URL must give the same URL again, except where the text
// holds "://" but no protocol was found before the first one (an empty
// protocol is not written back, so the "://" in the path then splits the
// text anew; such texts are not URLs, and nothing checks them by design).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "http/url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const upd::url_t url(input);
  const std::string text = url.to_string();
  if (!url.protocol().empty() || text.find("://") == std::string::npos)
    FUZZ_CHECK(upd::url_t(text).to_string() == text);

  // A base and a relative name, as the zones join server bases and files.
  const std::size_t cut = input.find(' ');
  if (cut != std::string::npos) {
    const upd::url_t joined(input.substr(0, cut), input.substr(cut + 1));
    if (cut == 0) FUZZ_CHECK(joined.to_string().empty());
  }
  return 0;
}
