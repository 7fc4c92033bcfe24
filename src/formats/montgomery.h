// Multi-precision arithmetic on arrays of 16-bit limbs, least significant
// limb first, for the signature check: Montgomery products and reductions
// modulo the group's p (32 limbs) and q (10 limbs), and the few plain
// operations the modular inverse needs. No allocation, no state: any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upd {

using limb_t = std::uint16_t;

struct modulus_t {
  const limb_t* m;  // n limbs, n even and at least 4
  std::size_t n;
  limb_t m_inv;                // -M^-1 mod 2^16
  std::uint64_t m_inv_wide;    // -M^-1 mod 2^64, for products taken several limbs at a time
};

modulus_t make_modulus(const limb_t* m, std::size_t n, limb_t m_inv);

// out = a·b·2^(-16n) mod M, below 2^(16n) but not always below M. a and b
// are below 2^(16n); out may alias either.
void mont_mul(limb_t* out, const limb_t* a, const limb_t* b, const modulus_t& mod);

// x (length limbs, plus one spare limb at x[length] that must be zero) is
// divided by 2^(16·steps) modulo M in place; the result sits in the low limbs.
void mont_reduce(limb_t* x, std::size_t length, const modulus_t& mod, std::size_t steps);

// Little-endian bytes to limbs and back (2·n bytes).
void limbs_from_bytes(limb_t* out, const std::uint8_t* bytes, std::size_t n);

int compare(const limb_t* a, const limb_t* b, std::size_t n);
bool is_zero(const limb_t* a, std::size_t n);
// a -= b, returns the borrow.
limb_t subtract(limb_t* a, const limb_t* b, std::size_t n);

// out = a^-1 mod M for 0 < a < M, M odd and prime to a (binary extended Euclid).
void mod_inverse(limb_t* out, const limb_t* a, const limb_t* m, std::size_t n);

}  // namespace upd
