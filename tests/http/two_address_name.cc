#include "http/two_address_name.h"

#include <dlfcn.h>
#include <netdb.h>

#include <cstring>

// Interposes the C library's resolver for this test program only. The two
// lists come from the C library itself and are chained, so its freeaddrinfo
// releases them node by node as usual.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
  static const auto system_getaddrinfo = reinterpret_cast<decltype(&getaddrinfo)>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  if (!node || std::strcmp(node, upd::testing::two_address_name) != 0)
    return system_getaddrinfo(node, service, hints, result);
  addrinfo numeric{};
  if (hints) numeric = *hints;
  numeric.ai_family = AF_INET;
  numeric.ai_flags = (numeric.ai_flags & ~AI_ADDRCONFIG) | AI_NUMERICHOST;
  addrinfo* first = nullptr;
  addrinfo* second = nullptr;
  if (int error = system_getaddrinfo("127.0.0.2", service, &numeric, &first)) return error;
  if (int error = system_getaddrinfo("127.0.0.1", service, &numeric, &second)) {
    ::freeaddrinfo(first);
    return error;
  }
  addrinfo* last = first;
  while (last->ai_next) last = last->ai_next;
  last->ai_next = second;
  *result = first;
  return 0;
}
