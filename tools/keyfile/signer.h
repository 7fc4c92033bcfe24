// Signing for publishers and tests, and checking with a key file: the
// signature text that the program's verify_signature accepts for the given
// bytes, made with the key's x, and the same check against any key file's y
// (the program's own check knows only the key it was built with).
// Any thread; the key is only read.
#pragma once

#include <string>
#include <string_view>

#include "keyfile/key_file.h"

namespace upd {

// 80 lower-case hexadecimal digits: r then s, 20 little-endian bytes each.
// Throws std::runtime_error when the key holds no x.
std::string sign_text(const key_file_t& key, std::string_view bytes);

// What verify_signature decides, with this key: a text of at least 40 bytes
// in hexadecimal whose first 40 sign the bytes, which must not be empty.
bool verify_text(const key_file_t& key, std::string_view bytes, std::string_view signature_text);

}  // namespace upd
