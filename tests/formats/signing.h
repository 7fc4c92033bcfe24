// The tests' access to the key the build trusts (NIMBO_TEST_KEY): signing
// bytes with it through the publishers' signer, and the signed forms of
// server lists and update lists that the reader tests feed in.
#pragma once

#include <string>
#include <string_view>

namespace upd::testing {

// True when the build's key file holds x, so that tests can sign.
bool can_sign();
// The signature text for the bytes (80 lower-case digits).
std::string signature_of(std::string_view bytes);

}  // namespace upd::testing
