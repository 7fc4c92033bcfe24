#include "formats/dsa_exponent.h"

#include <algorithm>
#include <cstring>

#include "formats/key_tables.h"

namespace upd {
namespace {

constexpr int piece_bits = 40;

// Walks one 40-bit exponent piece from its top bit down in odd windows of
// at most `width` bits; `position` is the bit where the current window's
// table entry is multiplied in, -1 once the piece is used up.
struct cursor_t {
  std::uint64_t piece = 0;
  int width = 0;
  const limb_t (*rows)[32] = nullptr;
  int position = piece_bits;
  int index = 0;

  void advance() {
    int high = position - 1;
    while (high >= 0 && !((piece >> high) & 1)) --high;
    if (high < 0) {
      position = -1;
      return;
    }
    int low = std::max(high - width + 1, 0);
    std::uint64_t window = (piece >> low) & ((std::uint64_t{1} << (high - low + 1)) - 1);
    while (!(window & 1)) {
      window >>= 1;
      ++low;
    }
    position = low;
    index = static_cast<int>((window - 1) / 2);
  }
  const limb_t* entry() const { return rows[index]; }
};

std::uint64_t piece_of(const std::uint8_t* exponent, int i) {
  std::uint64_t piece = 0;
  for (int b = 4; b >= 0; --b) piece = piece << 8 | exponent[5 * i + b];
  return piece;
}

// The generator powers as limbs, converted once for the life of the process.
const limb_t (*generator_rows())[32] {
  static const auto rows = [] {
    struct table_t {
      limb_t row[64][32];
    } table;
    for (int e = 0; e < 64; ++e) limbs_from_bytes(table.row[e], GeneratorTable + 64 * e, 32);
    return table;
  }();
  return rows.row;
}

}  // namespace

bool fixed_base_power(limb_t* out, const std::uint8_t* u1, const std::uint8_t* u2, const limb_t (*key_table)[32],
                      const modulus_t& mod_p) {
  // Interleaved as u1 piece 0, u2 piece 0, u1 piece 1, ...: the first piece
  // found at the top position seeds the accumulator.
  cursor_t cursors[8];
  for (int i = 0; i < 4; ++i) {
    cursors[2 * i].piece = piece_of(u1, i);
    cursors[2 * i].width = 5;
    cursors[2 * i].rows = generator_rows() + 16 * i;
    cursors[2 * i + 1].piece = piece_of(u2, i);
    cursors[2 * i + 1].width = 2;
    cursors[2 * i + 1].rows = key_table + 2 * i;
  }
  int top = -1;
  for (auto& c : cursors) {
    c.advance();
    top = std::max(top, c.position);
  }
  if (top < 0) return false;
  bool seeded = false;
  for (int bit = top; bit >= 0; --bit) {
    if (seeded) mont_mul(out, out, out, mod_p);
    for (auto& c : cursors) {
      if (c.position != bit) continue;
      if (seeded)
        mont_mul(out, out, c.entry(), mod_p);
      else
        std::memcpy(out, c.entry(), 32 * sizeof(limb_t));
      seeded = true;
      c.advance();
    }
  }
  return true;
}

}  // namespace upd
