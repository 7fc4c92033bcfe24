#include "formats/patch_file.h"

// The frame header reader and the stable output buffer are in zstd's
// advanced API, which Debian's shared library exports.
#define ZSTD_STATIC_LINKING_ONLY
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <boost/filesystem/exception.hpp>
#include <boost/thread/thread.hpp>
#include <memory>
#include <vector>

#include "common/error.h"
#include "common/safe_file.h"

namespace upd {
namespace {

namespace fs = boost::filesystem;

constexpr mode_t patched_mode = 0600;
constexpr std::size_t piece_size = 1 << 16;

// A whole file mapped into memory; an empty file maps to nothing.
class mapping_t {
 public:
  mapping_t(int fd, std::uint64_t size, int protection, const fs::path& path) : size_(size) {
    if (size == 0) return;
    void* address = ::mmap(nullptr, size, protection, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED)
      throw fs::filesystem_error("mmap", path, errno_error(errno, "mmap").code());
    address_ = static_cast<char*>(address);
  }
  ~mapping_t() {
    if (address_) ::munmap(address_, size_);
  }
  mapping_t(const mapping_t&) = delete;
  mapping_t& operator=(const mapping_t&) = delete;

  char* data() const { return address_; }
  std::uint64_t size() const { return size_; }

 private:
  char* address_ = nullptr;
  std::uint64_t size_;
};

[[noreturn]] void refuse(const fs::path& patch, const std::string& reason) {
  throw fs::filesystem_error("patch: " + reason, patch, nb::make_error_code(nb::EC_DATA_CORRUPTED));
}

std::uint64_t file_size(int fd, const fs::path& path) {
  struct stat status;
  if (::fstat(fd, &status) != 0)
    throw fs::filesystem_error("stat", path, errno_error(errno, "stat").code());
  return static_cast<std::uint64_t>(status.st_size);
}

// A file's blocks are reserved before it is written through a mapping: a
// full disk is then an error here, never a SIGBUS in the middle of a write.
void reserve_blocks(int fd, std::uint64_t size, const fs::path& path) {
  if (size == 0) return;
  const int error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (error != 0) throw fs::filesystem_error("write", path, errno_error(error, "write").code());
}

void check(std::size_t result, const fs::path& patch) {
  if (ZSTD_isError(result)) refuse(patch, ZSTD_getErrorName(result));
}

// Reads the patch's frame header before anything is reserved or decoded.
void check_header(const std::vector<char>& first, std::size_t length, std::uint64_t size,
                  const fs::path& patch) {
  ZSTD_frameHeader header;
  const std::size_t result = ZSTD_getFrameHeader(&header, first.data(), length);
  if (ZSTD_isError(result)) refuse(patch, "not a zstd frame");
  if (result > 0) refuse(patch, "cut short");
  if (header.frameType != ZSTD_frame) refuse(patch, "not a zstd frame");
  if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) refuse(patch, "no content size");
  if (header.frameContentSize != size)
    refuse(patch, "makes " + std::to_string(header.frameContentSize) + " bytes, not " +
                      std::to_string(size));
}

std::size_t read_piece(int fd, std::vector<char>& buffer, const fs::path& patch) {
  ssize_t n;
  do n = ::read(fd, buffer.data(), buffer.size());
  while (n < 0 && errno == EINTR);
  if (n < 0) throw fs::filesystem_error("read", patch, errno_error(errno, "read").code());
  return static_cast<std::size_t>(n);
}

void apply(const fs::path& old_file, const fs::path& patch, const fs::path& destination,
           std::uint64_t size) {
  const unique_fd_t input = open_regular_file(patch, links_t::refuse);
  std::vector<char> buffer(piece_size);
  std::size_t length = read_piece(input.get(), buffer, patch);
  check_header(buffer, length, size, patch);

  const unique_fd_t old_fd = open_regular_file(old_file, links_t::follow);
  const mapping_t old(old_fd.get(), file_size(old_fd.get(), old_file), PROT_READ, old_file);
  // A shared writable mapping needs a descriptor open for reading too; the
  // file is made anew first, and reopened with the same refusals.
  create_file(destination, patched_mode);
  const unique_fd_t output_fd = open_to_consume(destination);
  reserve_blocks(output_fd.get(), size, destination);
  const mapping_t output(output_fd.get(), size, PROT_READ | PROT_WRITE, destination);

  const std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx*)> context(ZSTD_createDCtx(),
                                                                        ZSTD_freeDCtx);
  if (!context) throw std::bad_alloc();
  // Matches reach back over the new content into the old, and zstd sizes a
  // patch's window by the larger of the two.
  const int window_log = std::clamp(
      static_cast<int>(std::bit_width(std::max(size, old.size()))) + 1, ZSTD_WINDOWLOG_MIN, 31);
  check(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, window_log), patch);
  // The output goes straight into the mapped destination, so the decoder
  // keeps no window buffer of its own.
  check(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_stableOutBuffer, 1), patch);
  check(ZSTD_DCtx_refPrefix(context.get(), old.data(), old.size()), patch);

  ZSTD_outBuffer out{output.data(), size, 0};
  std::size_t left = 1;  // until the frame ends
  while (left != 0) {
    boost::this_thread::interruption_point();
    if (length == 0) refuse(patch, "cut short");
    ZSTD_inBuffer in{buffer.data(), length, 0};
    // A frame that would write beyond the room fails (the decoder stops
    // once it cannot progress), so the output never exceeds size.
    while (in.pos < in.size && left != 0)
      check(left = ZSTD_decompressStream(context.get(), &out, &in), patch);
    if (in.pos < in.size) refuse(patch, "data after the frame");
    length = read_piece(input.get(), buffer, patch);
  }
  if (length != 0) refuse(patch, "data after the frame");
  if (out.pos != size) refuse(patch, "cut short");
}

}  // namespace

void apply_patch_file(const fs::path& old_file, const fs::path& patch, const fs::path& destination,
                      std::uint64_t size) {
  try {
    apply(old_file, patch, destination, size);
  } catch (...) {
    // unlink, not remove: a directory standing at the destination is not
    // ours to delete.
    ::unlink(destination.c_str());
    throw;
  }
}

}  // namespace upd
