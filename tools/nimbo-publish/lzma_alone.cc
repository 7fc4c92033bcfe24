#include "lzma_alone.h"

#include <fcntl.h>
#include <lzma.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

#include "common/fd_io.h"
#include "output_file.h"

namespace upd::publish {

void compress_lzma_alone(const std::filesystem::path& source, int out_fd, const std::filesystem::path& out_name) {
  lzma_options_lzma options;
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_lzma_preset(&options, 6) || lzma_alone_encoder(&stream, &options) != LZMA_OK)
    throw std::runtime_error(out_name.string() + ": cannot start the LZMA encoder");
  struct end_t {
    lzma_stream* s;
    ~end_t() { lzma_end(s); }
  } end{&stream};
  const int in_fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in_fd < 0) fail_with_errno(source, "open");
  struct close_t {
    int fd;
    ~close_t() { ::close(fd); }
  } close_in{in_fd};
  std::vector<std::uint8_t> in(1 << 16), out(1 << 16);
  lzma_action action = LZMA_RUN;
  while (true) {
    if (stream.avail_in == 0 && action == LZMA_RUN) {
      const ssize_t n = ::read(in_fd, in.data(), in.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail_with_errno(source, "read");
      stream.next_in = in.data();
      stream.avail_in = static_cast<std::size_t>(n);
      if (n == 0) action = LZMA_FINISH;
    }
    stream.next_out = out.data();
    stream.avail_out = out.size();
    const lzma_ret result = lzma_code(&stream, action);
    write_all(out_fd, out.data(), out.size() - stream.avail_out);
    if (result == LZMA_STREAM_END) return;
    if (result != LZMA_OK) throw std::runtime_error(out_name.string() + ": LZMA encoder error " + std::to_string(result));
  }
}

}  // namespace upd::publish
