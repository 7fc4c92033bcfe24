// Fuzz target: URL parsing, which takes the server bases of the DRL files
// and the proxy address as they come. Parsing never fails, and parsing the
// text of a parsed URL must give the same URL again, except where the text
// holds "://" but no protocol was found before the first one (an empty
// protocol is not written back, so the "://" in the path then splits the
// text anew; such texts are not URLs, and nothing checks them by design).
// A blank splits the input into a base and a relative name, as the zones
// join server bases and files.
#include <string>

#include "fuzz_support.h"
#include "http/url.h"

void fuzz_one(std::string_view bytes) {
  const std::string input(bytes), text = upd::url_t(input).to_string();
  if (!upd::url_t(input).protocol().empty() || text.find("://") == std::string::npos)
    FUZZ_CHECK(upd::url_t(text).to_string() == text);
  const std::size_t cut = input.find(' ');
  if (cut == std::string::npos) return;
  const upd::url_t joined(input.substr(0, cut), input.substr(cut + 1));
  FUZZ_CHECK(cut != 0 || joined.to_string().empty());
}
