// The facts of the last update run, as a file in the Prometheus text
// exposition format for node_exporter's textfile collector (--metrics), and
// as sentences for a person (--status).
//
// The monitor keeps the same text as its record of the last run in the
// update directory ("nimbo-monitor.last-run"), whether or not --metrics
// names a file, so that --status needs nothing more than the configuration.
// Files are replaced atomically after every run (common replace_file:
// temporary file beside it, fsync, rename), so the collector never reads
// half of one. The time of the last success is read back from the previous
// record, so that it survives between runs from cron as well as under
// --repeat. The zones' lists, and the expiry of signed ones, come from the
// component's record (nimbo-update.serials), the servers' waits from
// nimbo-update.waits. Any thread, one writer per file.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "common/zone_item.h"

namespace upd::monitor {

struct run_record_t {
  double started = 0;  // seconds since the epoch
  double duration = 0;  // seconds
  int status = 0;       // the monitor's exit status for the run
  std::uint64_t sent = 0, received = 0;
  std::size_t placed = 0, removed = 0;
  std::optional<double> last_success{};  // seconds since the epoch
  zone_serials_t serials{};              // the lists in use, as nimbo-update.serials records them
  // By zone, the first time a server that asked to wait may be asked again
  // (seconds since the epoch), as nimbo-update.waits records them.
  std::map<std::string, std::int64_t> waits{};
};

// The waits of the record in update_dir, by zone as run_record_t keeps them.
std::map<std::string, std::int64_t> zone_waits(const std::string& update_dir);

std::string metrics_text(const run_record_t& record);

// The record of the last run kept in the update directory.
boost::filesystem::path last_run_path(const std::string& update_dir);

// The record with last_success set: its own start when the run succeeded,
// else the last success that the record in `previous` holds (none when it
// cannot be read).
run_record_t with_last_success(run_record_t record, const boost::filesystem::path& previous);

// Replaces the file; throws a system error when it cannot be written.
void write_metrics(const boost::filesystem::path& path, const run_record_t& record);

// The record written last; throws std::runtime_error naming the file when
// it cannot be read or holds no run.
run_record_t read_metrics(const boost::filesystem::path& path);

std::string status_text(const run_record_t& record);

}  // namespace upd::monitor
