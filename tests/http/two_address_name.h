// A host name that resolves to two loopback addresses, 127.0.0.2 first and
// then 127.0.0.1, whatever the machine's hosts file says. The test program
// that links two_address_name.cc resolves it through its own getaddrinfo,
// which hands every other name to the C library.
#pragma once

namespace upd::testing {
inline constexpr const char* two_address_name = "two-addresses.nimbo.test";
}
