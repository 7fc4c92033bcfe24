#include "formats/montgomery.h"

#include <bit>
#include <cstring>

namespace upd {
namespace {

constexpr std::size_t max_limbs = 32;

void shift_right_one(limb_t* a, std::size_t n) {
  for (std::size_t i = 0; i + 1 < n; ++i) a[i] = static_cast<limb_t>((a[i] >> 1) | (a[i + 1] << 15));
  a[n - 1] >>= 1;
}

limb_t add(limb_t* a, const limb_t* b, std::size_t n) {
  std::uint32_t carry = 0;
  for (std::size_t i = 0; i < n; ++i) {
    carry += std::uint32_t{a[i]} + b[i];
    a[i] = static_cast<limb_t>(carry);
    carry >>= 16;
  }
  return static_cast<limb_t>(carry);
}

bool is_one(const limb_t* a, std::size_t n) { return a[0] == 1 && is_zero(a + 1, n - 1); }

// x = x / 2 mod M, for x below M (M odd).
void halve(limb_t* x, const limb_t* m, std::size_t n) {
  limb_t top = 0;
  if (x[0] & 1) top = add(x, m, n);
  shift_right_one(x, n);
  x[n - 1] = static_cast<limb_t>(x[n - 1] | (top << 15));
}

// x = x - y mod M, both below M.
void sub_mod(limb_t* x, const limb_t* y, const limb_t* m, std::size_t n) {
  if (subtract(x, y, n)) add(x, m, n);
}

}  // namespace

namespace {

// Limbs to digits of `per` limbs and back. On little-endian machines the
// memory of both is the same, so a copy does.
template <class D>
void load_digits(D* out, const limb_t* x, std::size_t digits) {
  constexpr std::size_t per = sizeof(D) / sizeof(limb_t);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, x, digits * sizeof(D));
  } else {
    for (std::size_t i = 0; i < digits; ++i) {
      out[i] = 0;
      for (std::size_t k = per; k-- > 0;) out[i] = static_cast<D>(out[i] << 16 | x[per * i + k]);
    }
  }
}

template <class D>
void store_digits(limb_t* out, const D* x, std::size_t digits) {
  constexpr std::size_t per = sizeof(D) / sizeof(limb_t);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, x, digits * sizeof(D));
  } else {
    for (std::size_t i = 0; i < digits; ++i)
      for (std::size_t k = 0; k < per; ++k) out[per * i + k] = static_cast<limb_t>(x[i] >> (16 * k));
  }
}

// Montgomery product with the limbs taken `sizeof(D) / 2` at a time (radix
// 2^32 or 2^64). The quotient (a·b + μ·M) / 2^(16n) uses the one μ below
// 2^(16n) that makes the division exact, whatever the radix, so the result
// is the one of limb-by-limb passes with a fraction of the multiplications.
template <class D, class W>
void mont_mul_radix(limb_t* out, const limb_t* a, const limb_t* b, const modulus_t& mod) {
  constexpr std::size_t per = sizeof(D) / sizeof(limb_t);
  constexpr int bits = 8 * sizeof(D);
  const std::size_t digits = mod.n / per;
  const D m_inv = static_cast<D>(mod.m_inv_wide);
  D a_digits[max_limbs], b_digits[max_limbs], m_digits[max_limbs];
  load_digits(a_digits, a, digits);
  load_digits(b_digits, b, digits);
  load_digits(m_digits, mod.m, digits);
  // One digit above the n limbs: the running value stays below 2^(16n+2)
  // because a and b need not be below M.
  D t[max_limbs + 1] = {};
  for (std::size_t j = 0; j < digits; ++j) {
    const D bj = b_digits[j];
    W product = W{a_digits[0]} * bj + t[0];
    const D m = static_cast<D>(product) * m_inv;
    W sum = W{m} * m_digits[0] + static_cast<D>(product);
    // t = (t + a·b_j + m·M) / 2^bits, in two carry chains so that no sum overflows W.
    D carry_ab = static_cast<D>(product >> bits), carry_m = static_cast<D>(sum >> bits);
    for (std::size_t i = 1; i < digits; ++i) {
      product = W{a_digits[i]} * bj + t[i] + carry_ab;
      sum = W{m} * m_digits[i] + static_cast<D>(product) + carry_m;
      carry_ab = static_cast<D>(product >> bits);
      carry_m = static_cast<D>(sum >> bits);
      t[i - 1] = static_cast<D>(sum);
    }
    const W top = W{t[digits]} + carry_ab + carry_m;
    t[digits - 1] = static_cast<D>(top);
    t[digits] = static_cast<D>(top >> bits);
  }
  while (t[digits] != 0) {
    D borrow = 0;
    for (std::size_t i = 0; i <= digits; ++i) {
      const D m = i < digits ? m_digits[i] : 0;
      const D next_borrow = t[i] < m || (t[i] == m && borrow);
      t[i] = t[i] - m - borrow;
      borrow = next_borrow;
    }
  }
  store_digits(out, t, digits);
}

}  // namespace

modulus_t make_modulus(const limb_t* m, std::size_t n, limb_t m_inv) {
  // -M^-1 mod 2^64: each Newton step doubles the precision of M^-1 mod 2^16.
  std::uint64_t m0 = 0;
  for (std::size_t k = 4; k-- > 0;) m0 = m0 << 16 | m[k];
  std::uint64_t inverse = static_cast<limb_t>(-m_inv);
  for (int precision = 16; precision < 64; precision *= 2) inverse *= 2 - m0 * inverse;
  return modulus_t{m, n, m_inv, 0 - inverse};
}

void mont_mul(limb_t* out, const limb_t* a, const limb_t* b, const modulus_t& mod) {
  if (mod.n % 4 == 0)
    mont_mul_radix<std::uint64_t, unsigned __int128>(out, a, b, mod);
  else
    mont_mul_radix<std::uint32_t, std::uint64_t>(out, a, b, mod);
}

void mont_reduce(limb_t* x, std::size_t length, const modulus_t& mod, std::size_t steps) {
  for (std::size_t s = 0; s < steps; ++s) {
    // In unsigned 32 bits: two limbs promoted to int can overflow it.
    const limb_t m = static_cast<limb_t>(std::uint32_t{x[0]} * mod.m_inv);
    std::uint32_t carry = 0;
    for (std::size_t i = 0; i <= length; ++i) {
      carry += x[i] + (i < mod.n ? std::uint32_t{m} * mod.m[i] : 0);
      x[i] = static_cast<limb_t>(carry);
      carry >>= 16;
    }
    std::memmove(x, x + 1, length * sizeof(limb_t));
    x[length] = 0;
  }
}

void limbs_from_bytes(limb_t* out, const std::uint8_t* bytes, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) out[j] = static_cast<limb_t>(bytes[2 * j] | (bytes[2 * j + 1] << 8));
}

int compare(const limb_t* a, const limb_t* b, std::size_t n) {
  for (std::size_t i = n; i-- > 0;)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

bool is_zero(const limb_t* a, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (a[i]) return false;
  return true;
}

limb_t subtract(limb_t* a, const limb_t* b, std::size_t n) {
  std::uint32_t borrow = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t d = std::uint32_t{a[i]} - b[i] - borrow;
    a[i] = static_cast<limb_t>(d);
    borrow = (d >> 16) & 1;
  }
  return static_cast<limb_t>(borrow);
}

void mod_inverse(limb_t* out, const limb_t* a, const limb_t* m, std::size_t n) {
  limb_t u[max_limbs], v[max_limbs], x1[max_limbs] = {1}, x2[max_limbs] = {};
  std::memcpy(u, a, n * sizeof(limb_t));
  std::memcpy(v, m, n * sizeof(limb_t));
  // Invariants: x1·a ≡ u and x2·a ≡ v (mod M). A zero u or v would mean a
  // common factor; the callers rule that out, the checks keep the loop finite.
  while (!is_one(u, n) && !is_one(v, n) && !is_zero(u, n) && !is_zero(v, n)) {
    while (!(u[0] & 1)) {
      shift_right_one(u, n);
      halve(x1, m, n);
    }
    while (!(v[0] & 1)) {
      shift_right_one(v, n);
      halve(x2, m, n);
    }
    if (compare(u, v, n) >= 0) {
      subtract(u, v, n);
      sub_mod(x1, x2, m, n);
    } else {
      subtract(v, u, n);
      sub_mod(x2, x1, m, n);
    }
  }
  std::memcpy(out, is_one(u, n) ? x1 : x2, n * sizeof(limb_t));
}

}  // namespace upd
