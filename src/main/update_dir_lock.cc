#include "main/update_dir_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/error.h"
#include "common/log.h"
#include "formats/quoted_path.h"

namespace upd {

update_dir_lock_t::update_dir_lock_t(const boost::filesystem::path& update_dir) {
  const boost::filesystem::path path = update_dir / lock_name;
  const auto refuse = [&](const std::string& why, nb::ErrorCode code) {
    UPD_LOG(log_error, "Update lock: " << quoted_path(path) << ": " << why);
    throw code;
  };
  // Not create_file(): unlinking a lock file held by another run would let
  // this one lock a new file beside it.
  fd_ = unique_fd_t(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!fd_) refuse(std::strerror(errno), nb::EC_BAD_CONFIG);
  struct stat st;
  if (::fstat(fd_.get(), &st) != 0) refuse(std::strerror(errno), nb::EC_BAD_CONFIG);
  // A hard link would share its lock with a file elsewhere that anybody
  // able to write there could hold.
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1)
    refuse(error_text(nb::EC_NOT_A_REGULAR_FILE), nb::EC_BAD_CONFIG);
  int result;
  do result = ::flock(fd_.get(), LOCK_EX | LOCK_NB);
  while (result != 0 && errno == EINTR);
  if (result != 0) {
    if (errno == EWOULDBLOCK)
      refuse(error_text(nb::EC_ALREADY_IN_PROGRESS), nb::EC_ALREADY_IN_PROGRESS);
    refuse(std::strerror(errno), nb::EC_BAD_CONFIG);
  }
}

}  // namespace upd
