#include "formats/sha0.h"

namespace upd {
namespace {

std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void compress(sha0_context& c) {
  std::uint32_t w[80];
  for (int t = 0; t < 16; ++t) w[t] = c.block[t];
  // The missing rotation here is the whole difference from SHA-1.
  for (int t = 16; t < 80; ++t) w[t] = w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16];
  std::uint32_t a = c.h[0], b = c.h[1], d3 = c.h[2], d = c.h[3], e = c.h[4];
  for (int t = 0; t < 80; ++t) {
    std::uint32_t f, k;
    if (t < 20) {
      f = (b & d3) | (~b & d);
      k = 0x5A827999;
    } else if (t < 40) {
      f = b ^ d3 ^ d;
      k = 0x6ED9EBA1;
    } else if (t < 60) {
      f = (b & d3) | (b & d) | (d3 & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ d3 ^ d;
      k = 0xCA62C1D6;
    }
    const std::uint32_t next = rotl(a, 5) + f + e + k + w[t];
    e = d;
    d = d3;
    d3 = rotl(b, 30);
    b = a;
    a = next;
  }
  c.h[0] += a;
  c.h[1] += b;
  c.h[2] += d3;
  c.h[3] += d;
  c.h[4] += e;
}

void put_byte(std::uint8_t byte, sha0_context& c) {
  c.block[c.word] = (c.block[c.word] << 8) | byte;
  if (--c.missing != 0) return;
  c.missing = 4;
  if (++c.word == 16) {
    compress(c);
    c.word = 0;
  }
}

std::uint32_t load_be(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

void sha0_init(sha0_context& c) {
  c.h[0] = 0x67452301;
  c.h[1] = 0xEFCDAB89;
  c.h[2] = 0x98BADCFE;
  c.h[3] = 0x10325476;
  c.h[4] = 0xC3D2E1F0;
  c.count = 0;
  for (auto& w : c.block) w = 0;
  c.word = 0;
  c.missing = 4;
}

void sha0_update(const void* bytes, std::size_t count, sha0_context& c) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  c.count += static_cast<std::uint32_t>(count);
  while (count > 0) {
    if (c.word == 0 && c.missing == 4 && count >= 64) {
      for (int t = 0; t < 16; ++t) c.block[t] = load_be(p + 4 * t);
      compress(c);
      p += 64;
      count -= 64;
      continue;
    }
    put_byte(*p++, c);
    --count;
  }
}

void sha0_final(sha0_context& c) {
  const std::uint32_t bits = c.count * 8;
  put_byte(0x80, c);
  while (!(c.word == 14 && c.missing == 4)) put_byte(0, c);
  // The count is 32 bits wide, so the high half of the 64-bit length field stays zero.
  const std::uint8_t length[8] = {0, 0, 0, 0, std::uint8_t(bits >> 24), std::uint8_t(bits >> 16),
                                  std::uint8_t(bits >> 8), std::uint8_t(bits)};
  for (std::uint8_t b : length) put_byte(b, c);
}

}  // namespace upd
