#include "formats/sha0.h"

namespace upd {
namespace {

std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// One step with the five words renamed instead of moved: the caller rotates
// the roles, so five steps bring them back to their places.
template <class F>
inline void step(std::uint32_t a, std::uint32_t& b, std::uint32_t c, std::uint32_t d, std::uint32_t& e,
                 std::uint32_t k, std::uint32_t w, F f) {
  e += rotl(a, 5) + f(b, c, d) + k + w;
  b = rotl(b, 30);
}

// Twenty steps of one round; its logical function and constant only differ.
template <class F>
inline void round(std::uint32_t (&v)[5], const std::uint32_t* w, std::uint32_t k, F f) {
  std::uint32_t a = v[0], b = v[1], c = v[2], d = v[3], e = v[4];
  for (int t = 0; t < 20; t += 5) {
    step(a, b, c, d, e, k, w[t], f);
    step(e, a, b, c, d, k, w[t + 1], f);
    step(d, e, a, b, c, k, w[t + 2], f);
    step(c, d, e, a, b, k, w[t + 3], f);
    step(b, c, d, e, a, k, w[t + 4], f);
  }
  v[0] = a, v[1] = b, v[2] = c, v[3] = d, v[4] = e;
}

void compress(sha0_context& context) {
  std::uint32_t w[80];
  for (int t = 0; t < 16; ++t) w[t] = context.block[t];
  // The missing rotation here is the whole difference from SHA-1.
  for (int t = 16; t < 80; ++t) w[t] = w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16];
  std::uint32_t v[5] = {context.h[0], context.h[1], context.h[2], context.h[3], context.h[4]};
  round(v, w, 0x5A827999, [](std::uint32_t b, std::uint32_t c, std::uint32_t d) { return (b & c) | (~b & d); });
  round(v, w + 20, 0x6ED9EBA1, [](std::uint32_t b, std::uint32_t c, std::uint32_t d) { return b ^ c ^ d; });
  round(v, w + 40, 0x8F1BBCDC,
        [](std::uint32_t b, std::uint32_t c, std::uint32_t d) { return (b & c) | (b & d) | (c & d); });
  round(v, w + 60, 0xCA62C1D6, [](std::uint32_t b, std::uint32_t c, std::uint32_t d) { return b ^ c ^ d; });
  for (int i = 0; i < 5; ++i) context.h[i] += v[i];
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
