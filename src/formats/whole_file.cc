#include "formats/whole_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <stdexcept>

#include "common/error.h"
#include "common/fd_io.h"

namespace upd {

std::string read_whole_file(const boost::filesystem::path& path, std::size_t limit,
                            links_t links) {
  const unique_fd_t fd = open_regular_file(path, links);
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) throw errno_error(errno, "stat");
  if (status.st_size < 0 || static_cast<std::size_t>(status.st_size) > limit) throw std::runtime_error("file too big");
  std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
  read_all(fd.get(), bytes.data(), bytes.size());
  return bytes;
}

}  // namespace upd
