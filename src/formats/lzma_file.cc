#include "formats/lzma_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <istream>
#include <ostream>
#include <streambuf>
#include <vector>

#include "common/fd_io.h"
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

// Writes each piece of output straight to the descriptor. A failing write
// is thrown with the system's own error and the file's path (a full disk
// must say so), and the stream, told to throw on badbit, passes it on as it
// is.
class destination_buffer_t : public std::streambuf {
 public:
  destination_buffer_t(unique_fd_t fd, const boost::filesystem::path& path) : fd_(std::move(fd)), path_(path) {}

 protected:
  std::streamsize xsputn(const char* bytes, std::streamsize length) override {
    try {
      write_all(fd_.get(), bytes, static_cast<std::size_t>(length));
    } catch (const boost::system::system_error& e) {
      throw boost::filesystem::filesystem_error("write", path_, e.code());
    }
    return length;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    xsputn(&byte, 1);
    return c;
  }

 private:
  unique_fd_t fd_;
  boost::filesystem::path path_;
};

void unpack(const boost::filesystem::path& source, const boost::filesystem::path& destination,
            std::uint64_t max_size, source_space_t space) {
  source_buffer_t input_buffer(
      space == source_space_t::release ? open_to_consume(source) : open_regular_file(source, links_t::refuse),
      space);
  destination_buffer_t output_buffer(create_file(destination, unpacked_mode), destination);
  std::istream input(&input_buffer);
  std::ostream output(&output_buffer);
  output.exceptions(std::ios::badbit);
  decoder_t(input, output, max_size).run();
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
