// The product of eight fixed-base powers at the heart of the signature check:
// A = Π G_i^(piece i of u1) · Π Y_i^(piece i of u2), i = 0..3, in Montgomery
// form modulo p, where piece i holds bits 40·i .. 40·i+39 of a 20-byte
// little-endian exponent. The generator's half uses 5-bit windows over the
// built-in GeneratorTable, the key's half 2-bit windows over `key_table`
// (row 2i = Y_i, row 2i+1 = Y_i^3). Reentrant; no allocation.
#pragma once

#include <cstdint>

#include "formats/montgomery.h"

namespace upd {

// False when both exponents are zero (no valid signature leads there).
bool fixed_base_power(limb_t* out, const std::uint8_t* u1, const std::uint8_t* u2, const limb_t (*key_table)[32],
                      const modulus_t& mod_p);

}  // namespace upd
