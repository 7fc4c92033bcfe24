#include "progress_display.h"

#include <cstdio>
#include <ostream>

#include "common/printable.h"

namespace upd::monitor {

namespace {

constexpr int bar_cells = 20;
// Below this the rate would be noise.
constexpr double min_rate_seconds = 0.2;

std::string percent(std::uint64_t done, std::uint64_t total) {
  const unsigned value = total == 0 ? 100 : static_cast<unsigned>(std::min<std::uint64_t>(done, total) * 100 / total);
  char text[8];
  std::snprintf(text, sizeof text, "%3u%%", value);
  return text;
}

std::string bar(std::uint64_t done, std::uint64_t total) {
  const int filled =
      total == 0 ? bar_cells : static_cast<int>(std::min<std::uint64_t>(done, total) * bar_cells / total);
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(bar_cells - filled), '.') + "]";
}

std::string human_rate(double bytes_per_second) {
  return bytes_per_second < 0 ? "--" : human_bytes(bytes_per_second) + "/s";
}

}  // namespace

std::string counted(std::uint64_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string human_bytes(double bytes) {
  static const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(static_cast<unsigned long long>(bytes)) + " B";
  int unit = 0;
  bytes /= 1024;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
  return text;
}

progress_display_t::progress_display_t(display_style_t style, std::ostream& out, std::ostream& err, int width,
                                       clock_t now)
    : style_(style), out_(out), err_(err), width_(width), now_(std::move(now)) {}

void progress_display_t::enter(stage_t stage) {
  if (stage == stage_) return;
  // The finished stage's bar stays on screen as its own line.
  if (bar_drawn_) out_ << "\n";
  bar_drawn_ = false;
  stage_ = stage;
  stage_start_ = now_();
  received_at_stage_start_ = total_received_;
  check_done_said_ = false;
  download_done_said_ = false;
  file_said_.clear();
}

void progress_display_t::check_progress(const nb::UpdateCheckProgress& progress) {
  const bool fresh = stage_ != stage_t::check || progress.bytes_to_check() != check_.bytes_to_check();
  enter(stage_t::check);
  check_ = progress;
  if (style_ == display_style_t::lines) {
    if (fresh) {
      check_done_said_ = false;
      out_ << "Checking local files: " << counted(progress.bytes_to_check(), "byte") << std::endl;
    }
    if (!check_done_said_ && progress.bytes_to_check() > 0 && progress.bytes_checked() >= progress.bytes_to_check()) {
      check_done_said_ = true;
      out_ << "Checked " << counted(progress.bytes_checked(), "byte") << std::endl;
    }
  }
  draw();
}

void progress_display_t::download_progress(const nb::UpdateDownloadProgress& progress) {
  const bool fresh = stage_ != stage_t::download || progress.files_to_process() != download_.files_to_process() ||
                     progress.bytes_to_process() != download_.bytes_to_process();
  enter(stage_t::download);
  download_ = progress;
  if (style_ == display_style_t::lines) {
    if (fresh) {
      download_done_said_ = false;
      file_said_.clear();
      out_ << "Downloading " << counted(progress.files_to_process(), "file") << ", "
           << counted(progress.bytes_to_process(), "byte") << std::endl;
    }
    // The same name can come twice (two zones' "timestamp"), so the file's
    // position is part of what was said.
    const std::string file = std::to_string(progress.files_processed()) + "/" + progress.current_file();
    if (!progress.current_file().empty() && file != file_said_) {
      file_said_ = file;
      out_ << "[" << progress.files_processed() + 1 << "/" << progress.files_to_process() << "] "
           << printable(progress.current_file()) << std::endl;
    }
    if (!download_done_said_ && progress.files_to_process() > 0 &&
        progress.files_processed() >= progress.files_to_process()) {
      download_done_said_ = true;
      out_ << "Downloaded " << counted(progress.files_processed(), "file") << ", "
           << counted(progress.bytes_processed(), "byte") << std::endl;
    }
  }
  draw();
}

void progress_display_t::stat(const nb::UpdateAppStat& stat) {
  total_sent_ += stat.bytes_sent();
  total_received_ += stat.bytes_received();
  if (stage_ == stage_t::download) draw();
}

void progress_display_t::error_line(const std::string& line) { print_line(err_, line); }

void progress_display_t::note(const std::string& line) { print_line(out_, line); }

void progress_display_t::end_stage() {
  enter(stage_t::none);
  check_ = {};
  download_ = {};
}

progress_display_t::network_totals_t progress_display_t::finish() {
  end_stage();
  out_ << "Network: sent " << counted(total_sent_, "byte") << ", received " << counted(total_received_, "byte")
       << std::endl;
  const network_totals_t totals{total_sent_, total_received_};
  total_sent_ = 0;
  total_received_ = 0;
  return totals;
}

void progress_display_t::print_line(std::ostream& stream, const std::string& line) {
  clear_bar();
  stream << printable(line) << std::endl;
  draw();
}

void progress_display_t::clear_bar() {
  if (!bar_drawn_) return;
  out_ << "\r\033[K" << std::flush;
  bar_drawn_ = false;
}

void progress_display_t::draw() {
  if (style_ != display_style_t::bar || stage_ == stage_t::none) return;
  std::string line = bar_line();
  if (width_ > 1 && line.size() >= static_cast<std::size_t>(width_)) line.resize(static_cast<std::size_t>(width_ - 1));
  out_ << "\r" << line << "\033[K" << std::flush;
  bar_drawn_ = true;
}

std::string progress_display_t::bar_line() const {
  if (stage_ == stage_t::check) {
    const std::uint64_t done = check_.bytes_checked(), total = check_.bytes_to_check();
    return "Checking    " + bar(done, total) + " " + percent(done, total) + "  " + human_bytes(done) + " of " +
           human_bytes(total) + "  " + human_rate(rate(done));
  }
  const std::uint64_t done = download_.bytes_processed(), total = download_.bytes_to_process();
  std::string line = "Downloading " + bar(done, total) + " " + percent(done, total) + "  " + human_bytes(done) +
                     " of " + human_bytes(total) + "  " + std::to_string(download_.files_processed()) + "/" +
                     std::to_string(download_.files_to_process()) + " files  " +
                     human_rate(rate(total_received_ - received_at_stage_start_));
  if (!download_.current_file().empty()) line += "  " + printable(download_.current_file());
  return line;
}

double progress_display_t::rate(std::uint64_t bytes) const {
  const double seconds = std::chrono::duration<double>(now_() - stage_start_).count();
  return seconds < min_rate_seconds ? -1 : static_cast<double>(bytes) / seconds;
}

}  // namespace upd::monitor
