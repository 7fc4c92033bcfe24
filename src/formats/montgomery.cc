#include "formats/montgomery.h"

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

void mont_mul(limb_t* out, const limb_t* a, const limb_t* b, const modulus_t& mod) {
  const std::size_t n = mod.n;
  // Two limbs above the n: the running value stays below 2^(16n+2) because
  // a and b need not be below M.
  std::uint32_t t[max_limbs + 2] = {};
  for (std::size_t j = 0; j < n; ++j) {
    const std::uint64_t bj = b[j];
    const limb_t m = static_cast<limb_t>(static_cast<limb_t>(t[0] + a[0] * bj) * mod.m_inv);
    // t = (t + a·b_j + m·M) / 2^16; the lowest limb of the sum is zero by the choice of m.
    std::uint64_t carry = (t[0] + a[0] * bj + std::uint64_t{m} * mod.m[0]) >> 16;
    for (std::size_t i = 1; i < n; ++i) {
      carry += t[i] + a[i] * bj + std::uint64_t{m} * mod.m[i];
      t[i - 1] = static_cast<std::uint32_t>(carry & 0xFFFF);
      carry >>= 16;
    }
    carry += t[n];
    t[n - 1] = static_cast<std::uint32_t>(carry & 0xFFFF);
    carry = (carry >> 16) + t[n + 1];
    t[n] = static_cast<std::uint32_t>(carry & 0xFFFF);
    t[n + 1] = static_cast<std::uint32_t>(carry >> 16);
  }
  limb_t result[max_limbs + 2];
  for (std::size_t i = 0; i < n + 2; ++i) result[i] = static_cast<limb_t>(t[i]);
  limb_t m_ext[max_limbs + 2] = {};
  std::memcpy(m_ext, mod.m, n * sizeof(limb_t));
  while (result[n] != 0 || result[n + 1] != 0) subtract(result, m_ext, n + 2);
  std::memcpy(out, result, n * sizeof(limb_t));
}

void mont_reduce(limb_t* x, std::size_t length, const modulus_t& mod, std::size_t steps) {
  for (std::size_t s = 0; s < steps; ++s) {
    const limb_t m = static_cast<limb_t>(x[0] * mod.m_inv);
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
