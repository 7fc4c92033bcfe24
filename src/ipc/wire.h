// Byte-by-byte encoding of the link's frame header, independent of the
// host's byte order and alignment.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upd {

constexpr std::size_t frame_header_size = 4;

inline void encode_frame_length(std::uint8_t* out, std::uint32_t length) {
  out[0] = static_cast<std::uint8_t>(length);
  out[1] = static_cast<std::uint8_t>(length >> 8);
  out[2] = static_cast<std::uint8_t>(length >> 16);
  out[3] = static_cast<std::uint8_t>(length >> 24);
}

inline std::uint32_t decode_frame_length(const std::uint8_t* in) {
  return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
         static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

}  // namespace upd
