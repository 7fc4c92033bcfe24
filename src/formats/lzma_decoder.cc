#include "formats/lzma_decoder.h"

#include <lzma/LzmaDec.h>

#include <algorithm>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>
#include <cstdlib>

#include "common/error.h"
#include "common/log.h"

namespace upd {
namespace {

void* lzma_alloc(void*, size_t size) { return std::malloc(size); }
void lzma_free(void*, void* address) { std::free(address); }

// Shared by every decoder; the SDK wants a non-const pointer but never writes.
ISzAlloc lzma_allocator = {lzma_alloc, lzma_free};

// The SDK's own floor for the dictionary: it rounds smaller sizes up to it.
constexpr std::uint32_t min_dictionary = 4096;

std::uint64_t read_le(const unsigned char* bytes, int count) {
  std::uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

void write_le32(unsigned char* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

struct decoder_t::lzma_state_t {
  CLzmaDec dec;
  bool allocated = false;

  lzma_state_t() { LzmaDec_Construct(&dec); }
  ~lzma_state_t() {
    if (allocated) LzmaDec_Free(&dec, &lzma_allocator);
  }
};

void throw_lzma_error(const char* reason, nb::ErrorCode code) {
  UPD_LOG(log_warning, "Unpacking lzma: " << reason);
  throw boost::system::system_error(nb::make_error_code(code));
}

decoder_t::decoder_t(std::istream& input, std::ostream& output, std::uint64_t max_size)
    : input_(input),
      output_(output),
      max_size_(max_size),
      state_(std::make_unique<lzma_state_t>()),
      in_(buffer_size),
      out_(buffer_size) {}

decoder_t::~decoder_t() = default;

void decoder_t::run() {
  unsigned char header[header_size];
  read_header(header);
  allocate(header);
  LzmaDec_Init(&state_->dec);
  while (!finished_) {
    // A stopped attempt must not wait for the rest of a large file.
    boost::this_thread::interruption_point();
    fill();
    decode();
    flush();
  }
  // Buffered bytes that never reach the file are lost output, not success.
  if (!output_.flush()) throw_lzma_error("can't flush data to output buffer", nb::EC_IO_ERROR);
}

std::size_t decoder_t::dictionary_size() const {
  return state_->allocated ? state_->dec.dicBufSize : 0;
}

std::size_t decoder_t::read_some(unsigned char* buffer, std::size_t length) {
  // istream::read keeps reading until length bytes arrived or the data ended.
  input_.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(length));
  return static_cast<std::size_t>(input_.gcount());
}

std::uint64_t decoder_t::dictionary_for(const unsigned char (&header)[header_size],
                                        std::uint64_t max_size) {
  const std::uint64_t declared = read_le(header + 1, 4),
                      size_field = read_le(header + LZMA_PROPS_SIZE, 8);
  const bool size_known = size_field != UINT64_MAX;
  if (declared > max_dictionary || (size_known && size_field > max_size)) return 0;
  // The decoder never looks further back than the bytes it has produced, so
  // a dictionary as large as the whole output decodes every valid stream;
  // anything larger would only be memory a header could make us reserve.
  const std::uint64_t bound = std::min(max_size, size_known ? size_field : UINT64_MAX);
  return std::max<std::uint64_t>(std::min(declared, bound), min_dictionary);
}

void decoder_t::read_header(unsigned char (&header)[header_size]) {
  if (read_some(header, header_size) < header_size)
    throw_lzma_error("can't read lzma header", nb::EC_BAD_LZMA_FILE);
  remaining_ = read_le(header + LZMA_PROPS_SIZE, 8);
  size_known_ = remaining_ != UINT64_MAX;
  if (size_known_ && remaining_ > max_size_)
    throw_lzma_error("unpacked size exceeds the listed size", nb::EC_BAD_LZMA_FILE);
  if (read_le(header + 1, 4) > max_dictionary)
    throw_lzma_error("dictionary too large", nb::EC_BAD_LZMA_FILE);
}

void decoder_t::allocate(const unsigned char (&header)[header_size]) {
  unsigned char props[LZMA_PROPS_SIZE];
  std::copy(header, header + LZMA_PROPS_SIZE, props);
  write_le32(props + 1, static_cast<std::uint32_t>(dictionary_for(header, max_size_)));
  if (LzmaDec_Allocate(&state_->dec, props, LZMA_PROPS_SIZE, &lzma_allocator) != SZ_OK)
    throw_lzma_error("can't allocate lzma decoder structures", nb::EC_BAD_LZMA_FILE);
  state_->allocated = true;
}

void decoder_t::fill() {
  if (in_pos_ == in_fill_) in_pos_ = in_fill_ = 0;
  // A read that yields nothing leaves the buffer as it is; decode() decides
  // whether the data may end here.
  if (in_fill_ < buffer_size) in_fill_ += read_some(in_.data() + in_fill_, buffer_size - in_fill_);
}

void decoder_t::decode() {
  SizeT out_space = buffer_size - out_fill_;
  // One byte past the bound is enough to tell the data is too long, and it
  // is produced before the clamped dictionary could reject a match.
  if (max_size_ != no_limit)
    out_space = static_cast<SizeT>(std::min<std::uint64_t>(out_space, max_size_ - produced_total_ + 1));
  ELzmaFinishMode mode = LZMA_FINISH_ANY;
  if (size_known_ && remaining_ < out_space) {
    mode = LZMA_FINISH_END;
    out_space = static_cast<SizeT>(remaining_);
  }
  SizeT produced = 0;
  SizeT consumed = 0;
  ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
  // With nothing left to produce the data has ended, whatever follows it:
  // asking the decoder would make it judge those bytes.
  if (out_space > 0) {
    produced = out_space;
    consumed = in_fill_ - in_pos_;
    if (LzmaDec_DecodeToBuf(&state_->dec, out_.data() + out_fill_, &produced, in_.data() + in_pos_,
                            &consumed, mode, &status) != SZ_OK)
      throw_lzma_error("invalid lzma data", nb::EC_BAD_LZMA_FILE);
  }
  out_fill_ += produced;
  in_pos_ += consumed;
  produced_total_ += produced;
  if (produced_total_ > max_size_)
    throw_lzma_error("unpacked size exceeds the listed size", nb::EC_BAD_LZMA_FILE);

  if (size_known_ && remaining_ == produced)
    finished_ = true;
  else if (consumed > 0 || produced > 0)
    return;
  else if (!size_known_ && status == LZMA_STATUS_FINISHED_WITH_MARK)
    finished_ = true;
  else
    throw_lzma_error("lzma data corrupted", nb::EC_BAD_LZMA_FILE);
}

void decoder_t::flush() {
  if (out_fill_ == 0) return;
  if (!output_.write(reinterpret_cast<const char*>(out_.data()),
                     static_cast<std::streamsize>(out_fill_)))
    throw_lzma_error("can't flush data to output buffer", nb::EC_IO_ERROR);
  if (size_known_) remaining_ -= out_fill_;
  out_fill_ = 0;
}

}  // namespace upd
