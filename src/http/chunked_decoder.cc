#include "http/chunked_decoder.h"

#include <algorithm>
#include <limits>

namespace upd {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

chunked_decoder_t::result_t chunked_decoder_t::decode(const char* bytes, std::size_t size,
                                                      std::vector<char>& data) {
  std::size_t pos = 0;
  while (pos < size && state_ != done && state_ != bad) {
    if (state_ == chunk_data) {
      const std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(chunk_left_, size - pos));
      data.insert(data.end(), bytes + pos, bytes + pos + take);
      pos += take;
      chunk_left_ -= take;
      if (chunk_left_ == 0) state_ = data_cr;
    } else {
      step(bytes[pos++]);
    }
  }
  return state_ == done ? decode_done : state_ == bad ? decode_bad : decode_more;
}

void chunked_decoder_t::step(char c) {
  if (state_ == size_digits || state_ == extension || state_ == size_lf) {
    if (++line_size_ > max_line_size_)
      return set_bad("Chunk size line over " + std::to_string(max_line_size_) + " bytes");
  } else if (state_ == trailer || state_ == trailer_lf) {
    if (++trailer_size_ > max_trailer_size_)
      return set_bad("Chunked trailers over " + std::to_string(max_trailer_size_) + " bytes");
  }
  switch (state_) {
    case size_digits:
      if (const int value = hex_value(c); value >= 0) {
        if (chunk_left_ > std::numeric_limits<std::uint64_t>::max() >> 4)
          return set_bad("Chunk size too large");
        chunk_left_ = chunk_left_ * 16 + static_cast<unsigned>(value);
        ++digits_;
      } else if (digits_ == 0) {
        set_bad("Bad chunk size");
      } else if (c == '\r') {
        state_ = size_lf;
      } else if (c == ';' || c == ' ' || c == '\t') {
        state_ = extension;
      } else {
        set_bad("Bad chunk size");
      }
      break;
    case extension:
      if (c == '\r')
        state_ = size_lf;
      else if (c == '\n')
        set_bad("Bad chunk extension");
      break;
    case size_lf:
      if (c != '\n') return set_bad("Chunk size line without CR LF");
      end_size_line();
      break;
    case data_cr:
      if (c != '\r') return set_bad("Chunk data without CR LF");
      state_ = data_lf;
      break;
    case data_lf:
      if (c != '\n') return set_bad("Chunk data without CR LF");
      state_ = size_digits;
      break;
    case trailer:
      if (c == '\r')
        state_ = trailer_lf;
      else if (c == '\n')
        set_bad("Chunked trailer without CR LF");
      else
        ++line_size_;
      break;
    case trailer_lf:
      if (c != '\n') return set_bad("Chunked trailer without CR LF");
      state_ = line_size_ == 0 ? done : trailer;
      line_size_ = 0;
      break;
    case chunk_data:
    case done:
    case bad: break;
  }
}

void chunked_decoder_t::end_size_line() {
  if (left_in_bound_ && chunk_left_ > *left_in_bound_)
    return set_bad("Chunk of " + std::to_string(chunk_left_) +
                   " bytes beyond the bound of the body");
  if (left_in_bound_) *left_in_bound_ -= chunk_left_;
  state_ = chunk_left_ == 0 ? trailer : chunk_data;
  digits_ = line_size_ = 0;
}

void chunked_decoder_t::set_bad(const std::string& reason) {
  state_ = bad;
  fault_ = reason;
}

}  // namespace upd
