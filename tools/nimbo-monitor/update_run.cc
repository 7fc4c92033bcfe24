#include "update_run.h"

#include <signal.h>
#include <sys/wait.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/filesystem/operations.hpp>
#include <istream>
#include <memory>
#include <stdexcept>

#include "child_process.h"
#include "component_link.h"
#include "config_error.h"
#include "zone_settings.h"

namespace upd::monitor {

namespace {

// A longer line of the component's output is shown in pieces.
constexpr std::size_t max_output_line = 65536;

// The component creates only the last level of the update directory. A
// zone's missing folder is a mistake to report, not one to paper over.
void prepare_directories(const nb::UpdateConfig& config) {
  const std::vector<std::string> missing = missing_zone_folders(config);
  if (!missing.empty()) throw config_error_t(nb::EC_BAD_CONFIG, missing.front());
  boost::system::error_code ec;
  boost::filesystem::create_directories(config.update_dir(), ec);
  if (ec) throw std::runtime_error("cannot create directory " + config.update_dir() + ": " + ec.message());
}

class run_t final : public component_events_t {
 public:
  run_t(const nb::UpdateConfig& config, progress_display_t& display, install_mode_t mode)
      : config_(config), display_(display), mode_(mode), signals_(io_, SIGCHLD, SIGINT, SIGTERM), output_(io_),
        output_buffer_(max_output_line) {}

  run_outcome_t run(const std::string& program) {
    // The signal set exists before the child, so its SIGCHLD cannot be missed.
    child_ = start_component(program);
    wait_signal();
    output_.assign(child_.error_output.release());
    read_output();
    link_ = std::make_shared<component_link_t>(*this);
    link_->start(io_, child_.link.release(), config_);
    io_.run();
    return outcome_;
  }

  ~run_t() {
    if (link_) link_->close();
  }

 private:
  void check_progress(const nb::UpdateCheckProgress& progress) override { display_.check_progress(progress); }
  void download_progress(const nb::UpdateDownloadProgress& progress) override {
    display_.download_progress(progress);
  }
  void stat(const nb::UpdateAppStat& stat) override { display_.stat(stat); }

  std::optional<nb::Error> install(const nb::InstallRequest& request) override {
    display_.end_stage();
    if (mode_ == install_mode_t::list_only) return list(request);
    display_.note("Installing " + counted(static_cast<std::size_t>(request.to_place_size()), "file") + ", removing " +
                  counted(static_cast<std::size_t>(request.to_remove_size()), "file") + ", " +
                  std::to_string(request.up_to_date_size()) + " up to date");
    outcome_.installed = install_updates(request, scope_of(config_));
    const install_result_t& result = *outcome_.installed;
    if (result.error)
      display_.error_line("Installation failed: " + result.error->what());
    else
      display_.note("Installed " + counted(result.placed, "file") + ", removed " + counted(result.removed, "file"));
    return result.error;
  }

  std::optional<nb::Error> list(const nb::InstallRequest& request) {
    for (const auto& item : request.to_place()) display_.note("Would install " + item.destination());
    for (const auto& path : request.to_remove()) display_.note("Would remove " + path);
    display_.note(counted(static_cast<std::size_t>(request.up_to_date_size()), "file") + " up to date");
    outcome_.listed = request;
    nb::Error answer;
    answer.set_code(nb::EC_CANCELED);
    answer.set_what("a check installs nothing");
    return answer;
  }

  void link_closed(const std::string& problem) override {
    if (!problem.empty()) display_.error_line("nimbo-monitor: link to the component: " + problem);
  }

  void wait_signal() {
    signals_.async_wait([this](const boost::system::error_code& error, int number) {
      if (error) return;
      if (number != SIGCHLD) {
        outcome_.interrupted = true;
        ::kill(child_.pid, number);
      } else if (::waitpid(child_.pid, &outcome_.wait_status, WNOHANG) == child_.pid) {
        return;  // nothing left to wait for
      }
      wait_signal();
    });
  }

  void read_output() {
    boost::asio::async_read_until(output_, output_buffer_, '\n',
                                  [this](const boost::system::error_code& error, std::size_t n) {
                                    // A full buffer without a newline, or a last line
                                    // without one, is shown as it is.
                                    if (error) n = output_buffer_.size();
                                    if (n > 0) show_output(n);
                                    if (!error || error == boost::asio::error::not_found) read_output();
                                  });
  }

  void show_output(std::size_t n) {
    std::string line(n, '\0');
    std::istream(&output_buffer_).read(line.data(), static_cast<std::streamsize>(n));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    display_.error_line(line);
  }

  const nb::UpdateConfig& config_;
  progress_display_t& display_;
  const install_mode_t mode_;
  boost::asio::io_context io_;
  boost::asio::signal_set signals_;
  boost::asio::posix::stream_descriptor output_;
  boost::asio::streambuf output_buffer_;
  child_process_t child_;
  std::shared_ptr<component_link_t> link_;
  run_outcome_t outcome_;
};

}  // namespace

run_outcome_t run_update(const std::string& program, const nb::UpdateConfig& config, progress_display_t& display,
                         install_mode_t mode) {
  prepare_directories(config);
  return run_t(config, display, mode).run(program);
}

}  // namespace upd::monitor
