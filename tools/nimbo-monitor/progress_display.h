// Showing what the component reports while it runs.
//
// Styles:
//   bar    one line redrawn in place on a terminal: stage, bar, percentage,
//          bytes done of the total, rate and, while downloading, the file;
//          a finished stage's line stays on screen
//   lines  plain lines for logs and pipes, exact byte counts, one line per
//          stage start, file and stage end
//   off    nothing but the monitor's own notes and the component's output
//
// The component's own output (its standard error) and the monitor's lines
// are written between progress updates without breaking the bar. What the
// component says may quote a server: control characters in its lines and
// file names are shown as "\xHH", never sent to the terminal. Totals of
// the network statistics are kept for the final line. Not thread-safe: used
// on the monitor's event-loop thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "update.pb.h"
#include "update_appstat.pb.h"

namespace upd::monitor {

enum class display_style_t { bar, lines, off };

class progress_display_t {
 public:
  using clock_t = std::function<std::chrono::steady_clock::time_point()>;

  // `out` receives progress and notes, `err` the component's output; `width`
  // is the terminal's width in columns (bar style only).
  progress_display_t(display_style_t style, std::ostream& out, std::ostream& err, int width = 80,
                     clock_t now = std::chrono::steady_clock::now);

  void check_progress(const nb::UpdateCheckProgress& progress);
  void download_progress(const nb::UpdateDownloadProgress& progress);
  void stat(const nb::UpdateAppStat& stat);
  // A line for the error stream: the component's output, the monitor's warnings.
  void error_line(const std::string& line);
  // A line of the monitor's own for the output stream.
  void note(const std::string& line);
  // Ends the stage shown; a bar stays on screen as a line of its own.
  void end_stage();
  struct network_totals_t {
    std::uint64_t sent = 0, received = 0;
  };
  // Ends the stage and writes the network totals, which it returns; the
  // display is ready for the next run.
  network_totals_t finish();

 private:
  enum class stage_t { none, check, download };

  void enter(stage_t stage);
  void draw();
  void clear_bar();
  void print_line(std::ostream& stream, const std::string& line);
  std::string bar_line() const;
  double rate(std::uint64_t bytes) const;  // bytes per second since the stage began

  display_style_t style_;
  std::ostream& out_;
  std::ostream& err_;
  int width_;
  clock_t now_;

  stage_t stage_ = stage_t::none;
  std::chrono::steady_clock::time_point stage_start_;
  bool bar_drawn_ = false;
  nb::UpdateCheckProgress check_;
  nb::UpdateDownloadProgress download_;
  std::uint64_t received_at_stage_start_ = 0;
  // What the lines style has said already, so that a repeated report adds nothing.
  bool check_done_said_ = false;
  bool download_done_said_ = false;
  std::string file_said_;
  std::uint64_t total_sent_ = 0;
  std::uint64_t total_received_ = 0;
};

// "1 file", "2 files".
std::string counted(std::uint64_t n, const char* what);

// "1.5 MiB", "830 B".
std::string human_bytes(double bytes);

}  // namespace upd::monitor
