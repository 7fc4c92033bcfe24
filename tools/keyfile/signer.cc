#include "keyfile/signer.h"

#include "formats/sha0.h"
#include "formats/signature.h"

namespace upd {

std::string sign_text(const key_file_t& key, std::string_view bytes) {
  sha0_context digest;
  sha0_init(digest);
  sha0_update(bytes.data(), bytes.size(), digest);
  sha0_final(digest);
  // The signed integer is h0 + h1·2^32 + ... + h4·2^128.
  std::array<std::uint8_t, 20> z;
  for (int i = 0; i < 20; ++i) z[i] = static_cast<std::uint8_t>(digest.h[i / 4] >> (8 * (i % 4)));
  const auto signature = dsa_sign(key, z);
  return bytes_to_hex({reinterpret_cast<const char*>(signature.data()), signature.size()});
}

}  // namespace upd
