// ".lzma" files made for the tests with liblzma's LZMA1 encoder: a 13-byte
// header of our own followed by a raw stream, with or without end marker.
#pragma once

#include <cstdint>
#include <string>

namespace upd::testing {

constexpr std::uint64_t unknown_size = UINT64_MAX;

// The raw LZMA stream of data (lc 3, lp 0, pb 2, the given dictionary size).
std::string raw_lzma_stream(const std::string& data, bool end_marker, std::uint32_t dictionary = 1 << 16);
// A whole ".lzma" header: properties byte, dictionary, size field.
std::string lzma_header(std::uint64_t size_field, std::uint32_t dictionary = 1 << 16, unsigned char properties = 0x5d);
// What liblzma's lzma_alone_encoder (and so "xz --format=lzma") makes of data at the preset.
std::string lzma_alone(const std::string& data, std::uint32_t preset = 6);
// Compressible bytes of the given size, the same for the same seed.
std::string sample_data(std::size_t size, unsigned seed = 1);

}  // namespace upd::testing
