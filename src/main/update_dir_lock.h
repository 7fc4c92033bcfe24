// One run at a time per update directory. Two runs on one directory (a cron
// job and a manual run, say) would download into the same staged files and
// could hand the monitor a file the other run is still writing.
//
// The lock is an exclusive flock on "nimbo-update.lock" in the update
// directory, taken before anything there is touched and held by the object
// until the process ends, the monitor's installation included. The file is
// opened without following a link and without blocking, and must be a plain
// regular file of its own: anything else at the name is refused, never
// written to or removed (removing it could let a third run lock a new file).
#pragma once

#include <boost/filesystem/path.hpp>

#include "common/unique_fd.h"

namespace upd {

class update_dir_lock_t {
 public:
  static constexpr const char* lock_name = "nimbo-update.lock";

  // Throws EC_ALREADY_IN_PROGRESS when another run holds the lock, and
  // EC_BAD_CONFIG when the lock file cannot be used, after an Error line
  // naming the file.
  explicit update_dir_lock_t(const boost::filesystem::path& update_dir);

 private:
  unique_fd_t fd_;  // the lock lives as long as the descriptor
};

}  // namespace upd
