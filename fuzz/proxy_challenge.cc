// Fuzz target: the answer to a proxy's 407 challenge. The input is the
// Proxy-Authenticate value; a NUL byte, when present, separates it from the
// target of the request being repeated (a GET URL or a CONNECT host:port,
// chosen by the first byte of that part).
#include <string>

#include "fuzz_support.h"
#include "http/proxy_auth.h"

void fuzz_one(std::string_view bytes) {
  const std::size_t cut = bytes.find('\0');
  upd::http_request_t request{"http://update.example/bases/version.lst", "GET", {}, {}};
  if (cut != std::string_view::npos) {
    const std::string_view target = bytes.substr(cut + 1);
    if (!target.empty() && (target[0] & 1)) request.method = "CONNECT";
    request.uri = target.empty() ? "" : std::string(target.substr(1));
  }
  upd::http_response_t head;
  head.status = 407;
  head.headers.add("Proxy-Authenticate", std::string(bytes.substr(0, cut)));
  const std::string answer = upd::make_proxy_authorization(request, head, "user", "pa:ss");
  FUZZ_CHECK(answer.empty() || answer.starts_with("Basic ") || answer.starts_with("Digest "));
}
