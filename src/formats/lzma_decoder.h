// Streams one ".lzma" (LZMA-alone) file from an input stream to an output
// stream: a 13-byte header (properties byte, dictionary size, unpacked size,
// all little-endian), then one raw LZMA stream, decoded by the LZMA SDK's
// LzmaDec through two 64 KiB buffers.
//
//   header -> allocate decoder -> { fill -> decode -> flush } until finished
//
// A known unpacked size ends the data when that many bytes came out; an
// unknown one (all 64 bits set) needs the stream's end marker. Bytes after
// either end are ignored. Every failure is logged at Warning (the caller
// falls back to the plain file; the run's own failure is its Error) with
// the prefix "Unpacking lzma: " and thrown as a system error carrying
// EC_BAD_LZMA_FILE (bad data) or EC_IO_ERROR (the output stream failed).
//
// The caller may bound the output by a maximum size (the listed size of the
// file): more output than that is bad data, and the dictionary allocated is
// never larger than the bound (nor than a known unpacked size), so a header
// cannot make the process reserve more memory than the file may unpack to.
// A header that asks for a dictionary above max_dictionary is bad data
// whatever the bound: no publisher's encoder uses more, and large listed
// files would otherwise let each unpacking reserve their whole size.
//
// One object per unpacking, used by one thread; the streams are borrowed and
// must outlive run(). On a boost thread, an interruption ends run() between
// two passes (at most 64 KiB of output apart).
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <ostream>
#include <vector>

#include "error.pb.h"

namespace upd {

class decoder_t {
 public:
  static constexpr std::size_t buffer_size = 65536;
  static constexpr std::size_t header_size = 13;
  static constexpr std::uint64_t no_limit = UINT64_MAX;
  static constexpr std::uint32_t max_dictionary = 64 << 20;

  // The bytes of dictionary run() allocates for a file that starts with this
  // header: the header's size, clamped to the bound and a known unpacked
  // size, and raised to the LZMA SDK's floor of 4 KiB. 0 when run() refuses
  // the header before it allocates anything.
  static std::uint64_t dictionary_for(const unsigned char (&header)[header_size],
                                      std::uint64_t max_size);

  decoder_t(std::istream& input, std::ostream& output, std::uint64_t max_size = no_limit);
  ~decoder_t();
  decoder_t(const decoder_t&) = delete;
  decoder_t& operator=(const decoder_t&) = delete;

  // Unpacks everything; throws as described above. Call once.
  void run();

  // The bytes of dictionary the decoder allocated; 0 before run().
  std::size_t dictionary_size() const;

 private:
  struct lzma_state_t;  // the SDK's decoder; its header stays out of ours

  void read_header(unsigned char (&header)[header_size]);
  void allocate(const unsigned char (&header)[header_size]);
  void fill();
  void decode();
  void flush();
  std::size_t read_some(unsigned char* buffer, std::size_t length);

  std::istream& input_;
  std::ostream& output_;
  std::uint64_t max_size_;
  std::unique_ptr<lzma_state_t> state_;
  std::uint64_t remaining_ = 0;  // of a known unpacked size
  bool size_known_ = false;
  std::uint64_t produced_total_ = 0;  // checked against max_size_
  std::vector<unsigned char> in_;
  std::size_t in_fill_ = 0;
  std::size_t in_pos_ = 0;
  std::vector<unsigned char> out_;
  std::size_t out_fill_ = 0;
  bool finished_ = false;
};

// Logs "Unpacking lzma: " + reason at Error and throws a system error
// carrying code.
[[noreturn]] void throw_lzma_error(const char* reason, nb::ErrorCode code);

}  // namespace upd
