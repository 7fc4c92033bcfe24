// The receiver of progress and statistics: the monitor client implements it
// by sending one message per call. Called on the controller's thread only,
// with progress_t's lock held, so an implementation must not call back.
#pragma once

#include "update.pb.h"
#include "update_appstat.pb.h"

namespace upd {

class progress_watcher_t {
 public:
  virtual void check_progress_changed(const nb::UpdateCheckProgress& progress) = 0;
  virtual void download_progress_changed(const nb::UpdateDownloadProgress& progress) = 0;
  virtual void stat_ready(const nb::UpdateAppStat& stat) = 0;

 protected:
  ~progress_watcher_t() = default;
};

}  // namespace upd
