#include "formats/file_sha256.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>
#include <cerrno>
#include <memory>
#include <stdexcept>

#include "common/error.h"
#include "formats/quoted_path.h"

namespace upd {
namespace {

constexpr std::size_t piece_size = 8192;
// Pieces between two interruption points: 4 MiB, tens of milliseconds of
// hashing at most, so that a stopped attempt does not wait for a large file.
constexpr unsigned pieces_per_check = 512;

void check(int evp_result) {
  if (evp_result != 1) throw std::runtime_error("SHA-256 is not available");
}

}  // namespace

std::string sha256_digest(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  check(EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr));
  return std::string(reinterpret_cast<const char*>(digest), size);
}

namespace {

std::string digest_of(const boost::filesystem::path& path, links_t links) {
  const unique_fd_t fd = open_regular_file(path, links);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                   &EVP_MD_CTX_free);
  if (!context) throw std::bad_alloc();
  check(EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr));
  unsigned char piece[piece_size];
  for (unsigned pieces = 1;; ++pieces) {
    if (pieces % pieces_per_check == 0) boost::this_thread::interruption_point();
    ssize_t n = ::read(fd.get(), piece, sizeof piece);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      // A failed read is not the end of the file: the digest of what came
      // before it would be reported as the file's.
      throw errno_error(errno, "read");
    }
    check(EVP_DigestUpdate(context.get(), piece, static_cast<std::size_t>(n)));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  check(EVP_DigestFinal_ex(context.get(), digest, &length));
  return std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace

std::string file_sha256(const boost::filesystem::path& path, links_t links) {
  try {
    return digest_of(path, links);
  } catch (const std::exception& e) {
    // Said by whoever gives up on the file: a staged copy that cannot be
    // read is only a failed try.
    throw boost::system::system_error(
        nb::make_error_code(nb::EC_IO_ERROR),
        "SHA256: " + quoted_path(path) + ": " + text_from_exception(e));
  }
}

}  // namespace upd
