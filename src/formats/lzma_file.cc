#include "formats/lzma_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>
#include <istream>
#include <ostream>
#include <streambuf>
#include <vector>

#include "common/error.h"
#include "common/safe_file.h"

namespace upd {
namespace {

constexpr mode_t unpacked_mode = 0600;

// Reads a descriptor in pieces and, with source_space_t::release, gives
// back to the file system what lies before the piece being read: the
// decoder has copied it by then.
class source_buffer_t : public std::streambuf {
 public:
  source_buffer_t(unique_fd_t fd, source_space_t space) : fd_(std::move(fd)), space_(space), buffer_(piece_size) {}

 protected:
  int_type underflow() override {
    release_read_blocks();
    ssize_t n;
    do n = ::read(fd_.get(), buffer_.data(), buffer_.size());
    while (n < 0 && errno == EINTR);
    // A read error ends the data; the decoder then reports the file as cut short.
    if (n <= 0) return traits_type::eof();
    offset_ += static_cast<std::uint64_t>(n);
    setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
    return traits_type::to_int_type(buffer_[0]);
  }

 private:
  static constexpr std::size_t piece_size = 1 << 16;
  // Punching a hole per piece would cost a system call per 64 KiB.
  static constexpr std::uint64_t release_step = 4 << 20;

  void release_read_blocks() {
    if (space_ != source_space_t::release || offset_ - released_ < release_step) return;
    const std::uint64_t end = offset_ & ~std::uint64_t{4095};
    // EOPNOTSUPP and the like only cost the disk space a while longer.
    if (::fallocate(fd_.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(released_),
                    static_cast<off_t>(end - released_)) == 0)
      released_ = end;
  }

  unique_fd_t fd_;
  source_space_t space_;
  std::vector<char> buffer_;
  std::uint64_t offset_ = 0;
  std::uint64_t released_ = 0;
};

void unpack(const boost::filesystem::path& source, const boost::filesystem::path& destination,
            std::uint64_t max_size, source_space_t space) {
  source_buffer_t input_buffer(
      space == source_space_t::release ? open_to_consume(source) : open_regular_file(source, links_t::refuse),
      space);
  // The destination is opened by descriptor, which the standard streams
  // cannot do; libstdc++'s descriptor buffer carries it and closes it.
  __gnu_cxx::stdio_filebuf<char> output_buffer(create_file(destination, unpacked_mode).release(),
                                               std::ios::out | std::ios::binary);
  std::istream input(&input_buffer);
  std::ostream output(&output_buffer);
  decoder_t(input, output, max_size).run();
  if (!output_buffer.close())
    throw_lzma_error("can't flush data to output buffer", nb::EC_IO_ERROR);
}

}  // namespace

void unpack_lzma_file(const boost::filesystem::path& source, const boost::filesystem::path& destination,
                      std::uint64_t max_size, source_space_t space) {
  try {
    unpack(source, destination, max_size, space);
  } catch (...) {
    // unlink, not remove: a directory standing at the destination is not
    // ours to delete.
    ::unlink(destination.c_str());
    throw;
  }
}

std::uint64_t lzma_file_dictionary(const boost::filesystem::path& source, std::uint64_t max_size) {
  const unique_fd_t fd = open_regular_file(source, links_t::refuse);
  unsigned char header[decoder_t::header_size];
  ssize_t n;
  do n = ::read(fd.get(), header, sizeof header);
  while (n < 0 && errno == EINTR);
  // Unpacking such a file fails before it allocates anything.
  return n == static_cast<ssize_t>(sizeof header) ? decoder_t::dictionary_for(header, max_size) : 0;
}

}  // namespace upd
