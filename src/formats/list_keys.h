// The Ed25519 public keys this build trusts for list signatures, generated
// from the PEM files named by NIMBO_LIST_KEYS (see CMakeLists.txt).
#pragma once

#include <span>

#include "formats/list_signature.h"

namespace upd {

std::span<const ed25519_key_t> built_in_list_keys();

}  // namespace upd
