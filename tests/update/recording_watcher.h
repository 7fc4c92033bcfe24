// A progress watcher that keeps every notification it is given, for the
// tests of progress_t and the update worker. Called on the controller's
// thread only, like the real one.
#pragma once

#include <vector>

#include "ipc/progress_watcher.h"

namespace upd::testing {

class recording_watcher_t : public progress_watcher_t {
 public:
  void check_progress_changed(const nb::UpdateCheckProgress& progress) override {
    checks.push_back(progress);
  }
  void download_progress_changed(const nb::UpdateDownloadProgress& progress) override {
    downloads.push_back(progress);
  }
  void stat_ready(const nb::UpdateAppStat& stat) override { stats.push_back(stat); }

  std::vector<nb::UpdateCheckProgress> checks;
  std::vector<nb::UpdateDownloadProgress> downloads;
  std::vector<nb::UpdateAppStat> stats;
};

}  // namespace upd::testing
