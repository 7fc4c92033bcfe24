#include "keyfile/signer.h"

#include <algorithm>

#include "formats/sha0.h"
#include "formats/signature.h"

namespace upd {
namespace {

// The signed integer is h0 + h1·2^32 + ... + h4·2^128 of the SHA-0 digest.
std::array<std::uint8_t, 20> signed_integer(std::string_view bytes) {
  sha0_context digest;
  sha0_init(digest);
  sha0_update(bytes.data(), bytes.size(), digest);
  sha0_final(digest);
  std::array<std::uint8_t, 20> z;
  for (int i = 0; i < 20; ++i) z[i] = static_cast<std::uint8_t>(digest.h[i / 4] >> (8 * (i % 4)));
  return z;
}

}  // namespace

std::string sign_text(const key_file_t& key, std::string_view bytes) {
  const auto signature = dsa_sign(key, signed_integer(bytes));
  return bytes_to_hex({reinterpret_cast<const char*>(signature.data()), signature.size()});
}

bool verify_text(const key_file_t& key, std::string_view bytes, std::string_view signature_text) {
  const std::string signature = hex_to_bytes(signature_text);
  if (bytes.empty() || signature.size() < 40) return false;
  std::array<std::uint8_t, 40> r_and_s;
  std::copy_n(signature.begin(), r_and_s.size(), r_and_s.begin());
  return dsa_check(key, signed_integer(bytes), r_and_s);
}

}  // namespace upd
