// Signing for publishers and tests: the signature text that the program's
// verify_signature accepts for the given bytes, made with the key's x.
// Any thread; the key is only read.
#pragma once

#include <string>
#include <string_view>

#include "keyfile/key_file.h"

namespace upd {

// 80 lower-case hexadecimal digits: r then s, 20 little-endian bytes each.
// Throws std::runtime_error when the key holds no x.
std::string sign_text(const key_file_t& key, std::string_view bytes);

}  // namespace upd
