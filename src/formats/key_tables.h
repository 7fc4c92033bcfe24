// The constants of the signature check: the group, the fixed-base powers of
// its generator and the publisher's public key. The build generates their
// definitions from a key file (tools/keyfile, nimbo-key-tables); they are
// read-only and shared by every thread. All numbers are little-endian bytes.
#pragma once

#include <cstdint>

namespace upd {

struct group_parameters_t {
  std::uint8_t q[20];
  std::uint8_t p[64];
  std::uint8_t q_2_320[20];  // 2^320 mod q: leaves the Montgomery domain after a product
  std::uint8_t q_2_672[20];  // 2^672 mod q: undoes a reduction by 2^512 and a product
  std::uint16_t p_inv;       // -p^-1 mod 2^16
  std::uint16_t q_inv;       // -q^-1 mod 2^16
};

extern const group_parameters_t GroupParameters;
// Entry 16·i + k (i = 0..3, k = 0..15): (g^(2^(40·i)))^(2k+1) · 2^512 mod p, 64 bytes.
extern const std::uint8_t GeneratorTable[4096];
// Number i (i = 0..3): y^(2^(40·i)) · 2^512 mod p, 64 bytes.
extern const std::uint8_t PublicKey[256];
// The key's id, as nimbo-keygen --fingerprint prints it.
extern const char DsaKeyId[];

}  // namespace upd
