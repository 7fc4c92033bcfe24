#include "patch_maker.h"

// ZSTD_WINDOWLOG_MIN is in zstd's advanced API.
#define ZSTD_STATIC_LINKING_ONLY
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <stdexcept>

#include "common/unique_fd.h"
#include "output_file.h"

namespace upd::publish {
namespace {

// A whole file mapped read-only; an empty one maps to nothing.
class mapped_file_t {
 public:
  explicit mapped_file_t(const std::filesystem::path& path) {
    fd_ = unique_fd_t(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status;
    if (!fd_ || ::fstat(fd_.get(), &status) != 0) fail_with_errno(path, "open");
    size_ = static_cast<std::size_t>(status.st_size);
    if (size_ == 0) return;
    void* address = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_.get(), 0);
    if (address == MAP_FAILED) fail_with_errno(path, "mmap");
    data_ = static_cast<const char*>(address);
  }
  ~mapped_file_t() {
    if (data_) ::munmap(const_cast<char*>(data_), size_);
  }
  mapped_file_t(const mapped_file_t&) = delete;
  mapped_file_t& operator=(const mapped_file_t&) = delete;

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  unique_fd_t fd_;
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace

std::string make_patch(const std::filesystem::path& old_file, const std::filesystem::path& new_file,
                       int level) {
  const mapped_file_t old(old_file), now(new_file);
  const std::unique_ptr<ZSTD_CCtx, std::size_t (*)(ZSTD_CCtx*)> context(ZSTD_createCCtx(),
                                                                        ZSTD_freeCCtx);
  if (!context) throw std::bad_alloc();
  // The window spans the larger content, so that every unchanged run of the
  // old one is in reach; clients accept twice that.
  const int window_log = std::clamp(
      static_cast<int>(std::bit_width(std::max(old.size(), now.size()))), ZSTD_WINDOWLOG_MIN, 30);
  const std::pair<ZSTD_cParameter, int> parameters[] = {
      {ZSTD_c_compressionLevel, level},
      {ZSTD_c_windowLog, window_log},
      {ZSTD_c_enableLongDistanceMatching, 1},
      {ZSTD_c_contentSizeFlag, 1},
      {ZSTD_c_checksumFlag, 0},
  };
  for (const auto& [parameter, value] : parameters)
    if (ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), parameter, value)))
      throw std::runtime_error(new_file.string() + ": zstd refuses parameter " +
                               std::to_string(parameter));
  if (ZSTD_isError(ZSTD_CCtx_refPrefix(context.get(), old.data(), old.size())))
    throw std::runtime_error(old_file.string() + ": zstd refuses it as a prefix");
  if (ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(context.get(), now.size())))
    throw std::runtime_error(new_file.string() + ": zstd refuses its size");
  // A patch is a small fraction of the file: it grows in pieces rather
  // than in a buffer of the file's bound.
  std::string patch;
  ZSTD_inBuffer in{now.data(), now.size(), 0};
  for (std::size_t left = 1; left != 0;) {
    const std::size_t written = patch.size();
    patch.resize(written + ZSTD_CStreamOutSize());
    ZSTD_outBuffer out{patch.data() + written, patch.size() - written, 0};
    left = ZSTD_compressStream2(context.get(), &out, &in, ZSTD_e_end);
    if (ZSTD_isError(left))
      throw std::runtime_error(new_file.string() + ": zstd: " + ZSTD_getErrorName(left));
    patch.resize(written + out.pos);
  }
  return patch;
}

}  // namespace upd::publish
