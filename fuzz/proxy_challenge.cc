// Fuzz target: the answer to a proxy's 407 challenge. The input is the
// Proxy-Authenticate value; a NUL byte, when present, separates it from the
// target of the request being repeated (a GET URL or a CONNECT host:port,
// chosen by the first byte of that part).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "http/proxy_auth.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = input.find('\0');

  upd::http_request_t request;
  request.method = "GET";
  request.uri = "http://update.example/bases/version.lst";
  if (cut != std::string::npos) {
    std::string target = input.substr(cut + 1);
    if (!target.empty() && (target[0] & 1)) request.method = "CONNECT";
    if (!target.empty()) target.erase(0, 1);
    request.uri = target;
  }
  upd::http_response_t head;
  head.status = 407;
  head.headers.add("Proxy-Authenticate", input.substr(0, cut));

  const std::string answer = upd::make_proxy_authorization(request, head, "user", "pa:ss");
  FUZZ_CHECK(answer.empty() || answer.starts_with("Basic ") || answer.starts_with("Digest "));
  return 0;
}
