#include "formats/signature.h"

#include "formats/dsa_exponent.h"
#include "formats/key_tables.h"
#include "formats/montgomery.h"

namespace upd {
namespace {

constexpr std::size_t p_limbs = 32, q_limbs = 10;

int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

struct group_t {
  limb_t p[p_limbs], q[q_limbs], q_2_320[q_limbs], q_2_672[q_limbs];
  modulus_t mod_p, mod_q;
  group_t() {
    limbs_from_bytes(p, GroupParameters.p, p_limbs);
    limbs_from_bytes(q, GroupParameters.q, q_limbs);
    mod_p = make_modulus(p, p_limbs, GroupParameters.p_inv);
    mod_q = make_modulus(q, q_limbs, GroupParameters.q_inv);
    limbs_from_bytes(q_2_320, GroupParameters.q_2_320, q_limbs);
    limbs_from_bytes(q_2_672, GroupParameters.q_2_672, q_limbs);
  }
};

// Loads r or s and checks its range, r before s, as the status codes demand.
int load_part(limb_t* out, const std::uint8_t* bytes, const limb_t* q) {
  limbs_from_bytes(out, bytes, q_limbs);
  if (compare(out, q, q_limbs) >= 0) return dsa_out_of_range;
  if (is_zero(out, q_limbs)) return dsa_zero;
  return dsa_valid;
}

// a·b mod q (up to multiples of q): the second product cancels the 2^-160 of the first.
void mul_mod_q(limb_t* out, const limb_t* a, const limb_t* b, const group_t& g) {
  mont_mul(out, a, b, g.mod_q);
  mont_mul(out, out, g.q_2_320, g.mod_q);
}

void to_bytes(std::uint8_t* out, const limb_t* limbs, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    out[2 * j] = static_cast<std::uint8_t>(limbs[j]);
    out[2 * j + 1] = static_cast<std::uint8_t>(limbs[j] >> 8);
  }
}

}  // namespace

std::string hex_to_bytes(std::string_view text) {
  if (text.empty() || text.size() % 2 != 0) return {};
  std::string bytes(text.size() / 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(nibble(text[2 * i]) << 4 | nibble(text[2 * i + 1]));
  return bytes;
}

std::string bytes_to_hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * bytes.size());
  for (const char byte : bytes) {
    text += digits[static_cast<unsigned char>(byte) >> 4];
    text += digits[static_cast<unsigned char>(byte) & 15];
  }
  return text;
}

int dsa_verify(const std::uint8_t* public_key, const std::uint8_t* signature, const sha0_context& digest) {
  static const group_t group;
  limb_t r[q_limbs], s[q_limbs];
  if (int status = load_part(r, signature, group.q)) return status;
  if (int status = load_part(s, signature + 20, group.q)) return status;

  // Y_i and Y_i^3 for the 2-bit windows of the key's half of the exponent.
  limb_t key_table[8][p_limbs];
  for (int i = 0; i < 4; ++i) {
    limbs_from_bytes(key_table[2 * i], public_key + 64 * i, p_limbs);
    mont_mul(key_table[2 * i + 1], key_table[2 * i], key_table[2 * i], group.mod_p);
    mont_mul(key_table[2 * i + 1], key_table[2 * i + 1], key_table[2 * i], group.mod_p);
  }

  limb_t w[q_limbs], z[q_limbs], u1[q_limbs], u2[q_limbs];
  mod_inverse(w, s, group.q, q_limbs);
  // z is the chaining words h0..h4 as one little-endian number, unreduced.
  for (int i = 0; i < 5; ++i) {
    z[2 * i] = static_cast<limb_t>(digest.h[i]);
    z[2 * i + 1] = static_cast<limb_t>(digest.h[i] >> 16);
  }
  mul_mod_q(u1, z, w, group);
  mul_mod_q(u2, r, w, group);

  std::uint8_t u1_bytes[20], u2_bytes[20];
  to_bytes(u1_bytes, u1, q_limbs);
  to_bytes(u2_bytes, u2, q_limbs);
  limb_t v[p_limbs + 1];
  if (!fixed_base_power(v, u1_bytes, u2_bytes, key_table, group.mod_p)) return dsa_mismatch;
  v[p_limbs] = 0;
  mont_reduce(v, p_limbs, group.mod_p, p_limbs);  // v = A·2^-512 mod p

  // v mod q: divide by 2^512 modulo q, then multiply by 2^672 (with the 2^-160 of the product).
  mont_reduce(v, p_limbs, group.mod_q, p_limbs);
  mont_mul(v, v, group.q_2_672, group.mod_q);
  if (compare(v, group.q, q_limbs) >= 0) subtract(v, group.q, q_limbs);
  return compare(v, r, q_limbs) == 0 ? dsa_valid : dsa_mismatch;
}

bool verify_signature(const void* data, std::size_t length, std::string_view signature_text) {
  if (length == 0) return false;
  const std::string signature = hex_to_bytes(signature_text);
  if (signature.size() < 40) return false;
  sha0_context digest;
  sha0_init(digest);
  sha0_update(data, length, digest);
  sha0_final(digest);
  return dsa_verify(PublicKey, reinterpret_cast<const std::uint8_t*>(signature.data()), digest) == dsa_valid;
}

}  // namespace upd
