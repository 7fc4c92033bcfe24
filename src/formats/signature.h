// The publisher's signature on server lists and update lists: DSA over the
// built-in 512-bit group (key_tables.h) with SHA-0 as the hash. The one
// operation the readers use is verify_signature. Nothing here throws, logs
// or allocates (except hex_to_bytes' result); all of it is reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "formats/sha0.h"

namespace upd {

enum dsa_status : int {
  dsa_valid = 0,
  dsa_zero = 0x0707,          // r or s is zero
  dsa_out_of_range = 0x7707,  // r or s is not below q
  dsa_mismatch = 0x0F0F,      // the final comparison failed
};

// Pairs of hexadecimal digits to bytes, high nibble first. An empty text or
// one of odd length gives an empty result; a character that is not a digit
// counts as the nibble 0.
std::string hex_to_bytes(std::string_view text);
// And back: two lower-case digits a byte.
std::string bytes_to_hex(std::string_view bytes);

// Checks r (bytes 0-19) and s (bytes 20-39), both little-endian, against the
// finished SHA-0 digest, with the key powers `public_key` (four 64-byte
// Montgomery numbers) and the built-in group.
int dsa_verify(const std::uint8_t* public_key, const std::uint8_t* signature, const sha0_context& digest);

// True only when length is not zero, the text decodes to at least 40 bytes
// and the signature over the data is valid for the built-in PublicKey.
bool verify_signature(const void* data, std::size_t length, std::string_view signature_text);

}  // namespace upd
