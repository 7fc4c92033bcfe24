// The decoder of a body sent with "Transfer-Encoding: chunked". Servers
// that build a page as they send it (nginx with server-side includes, for
// one) know no length beforehand and frame the body in chunks instead; the
// framing must not end up in the file.
//
// Each chunk is a hexadecimal size (either case), an optional extension
// after ";", CR LF, that many data bytes and CR LF; a chunk of size 0 ends
// the data, and trailer lines up to an empty line end the body. Extensions
// and trailers are read and dropped. A size line may take at most
// max_line_size_ bytes, the trailers at most max_trailer_size_, and a chunk
// may not announce more than the bound left, so a hostile server can make
// the decoder neither hold much nor promise a body beyond it. Never throws.
// Owned and used by one connection on its thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace upd {

class chunked_decoder_t {
 public:
  enum result_t { decode_more = 0, decode_done = 1, decode_bad = 2 };

  static constexpr std::size_t max_line_size_ = 4096;
  static constexpr std::size_t max_trailer_size_ = 64 * 1024;

  // limit: the data bytes the whole body may hold; nullopt for no bound.
  explicit chunked_decoder_t(std::optional<std::uint64_t> limit) : left_in_bound_(limit) {}

  // Appends the data bytes of the piece to data. Bytes after the end of the
  // body are ignored. Once done or bad, every further call repeats that.
  result_t decode(const char* bytes, std::size_t size, std::vector<char>& data);

  // Why the framing is bad; "" while it is not.
  const std::string& fault() const { return fault_; }

 private:
  enum state_t { size_digits, extension, size_lf, chunk_data, data_cr, data_lf, trailer, trailer_lf, done, bad };

  // Reads one framing byte.
  void step(char c);
  void end_size_line();
  void set_bad(const std::string& reason);

  state_t state_ = size_digits;
  std::uint64_t chunk_left_ = 0;  // the size being read, then its data bytes still to come
  std::size_t digits_ = 0;
  std::size_t line_size_ = 0;
  std::size_t trailer_size_ = 0;
  std::optional<std::uint64_t> left_in_bound_;
  std::string fault_;
};

}  // namespace upd
