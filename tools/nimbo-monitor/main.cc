// nimbo-monitor: reads the configuration file, runs nimbo-update once (or
// again every UpdateInterval with --repeat), shows its progress, installs
// what it staged, records the run in the update directory (and for
// --metrics) and exits with the component's exit status. --check and
// --status look without running.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <google/protobuf/text_format.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>
#include <algorithm>
#include <chrono>
#include <ctime>
#include <iostream>
#include <random>
#include <sstream>

#include "child_process.h"
#include "config_check.h"
#include "config_error.h"
#include "config_secrets.h"
#include "monitor_config.h"
#include "run_metrics.h"
#include "run_schedule.h"
#include "update/list_serials.h"
#include "update/server_waits.h"
#include "update_run.h"
#include "zone_settings.h"

namespace po = boost::program_options;
using namespace upd::monitor;

namespace {

constexpr int usage_status = 2;
constexpr const char* default_config = "/etc/nimbo/nimbo.ini";

struct options_t {
  std::string config = default_config;
  std::string component;
  std::string progress = "auto";
  bool repeat = false;
  unsigned runs = 0;
  bool print_config = false;
  bool check = false;
  bool quiet = false;
  bool status = false;
  std::string metrics;
};

display_style_t style_for(const std::string& name) {
  if (name == "bar") return display_style_t::bar;
  if (name == "lines") return display_style_t::lines;
  if (name == "off") return display_style_t::off;
  if (name != "auto") throw po::error("--progress takes auto, bar, lines or off");
  const char* term = std::getenv("TERM");
  const bool terminal = ::isatty(1) && term && std::string(term) != "dumb";
  return terminal ? display_style_t::bar : display_style_t::lines;
}

int terminal_width() {
  winsize size{};
  if (::ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// The component named on the command line, else Update.ExePath, else the
// nimbo-update beside this program.
std::string component_path(const options_t& options, const nb::UpdateConfig& config) {
  if (!options.component.empty()) return options.component;
  if (!config.exe_path().empty()) return config.exe_path();
  boost::system::error_code ec;
  const auto self = boost::filesystem::read_symlink("/proc/self/exe", ec);
  return ((ec ? boost::filesystem::path() : self.parent_path()) / "nimbo-update").string();
}

// Waits, and returns false when SIGINT or SIGTERM came first.
bool wait_for_next_run(std::uint64_t interval_ms) {
  boost::asio::io_context io;
  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  boost::asio::steady_timer timer(io, std::chrono::milliseconds(interval_ms));
  bool elapsed = false;
  signals.async_wait([&](const boost::system::error_code& error, int) {
    if (!error) timer.cancel();
  });
  timer.async_wait([&](const boost::system::error_code& error) {
    elapsed = !error;
    signals.cancel();
  });
  io.run();
  return elapsed;
}

// The engine file is updated only when the BASE repository lists its name.
bool engine_listed(const nb::UpdateConfig& config, const nb::InstallRequest& request) {
  if (config.core_engine_path().empty() || !zone_settings(config).front().enabled) return true;
  for (const auto& item : request.to_place())
    if (item.destination() == config.core_engine_path()) return true;
  for (const auto& path : request.up_to_date())
    if (path == config.core_engine_path()) return true;
  return false;
}

// The local checks first; when they pass, a trial run fetches the lists and
// stages what an update would install, and lists it without installing.
int check(const std::string& program, const nb::UpdateConfig& config, bool quiet) {
  config_check_t result = check_config(config);
  if (!quiet)
    for (const std::string& line : result.plan) std::cout << line << "\n";
  if (result.problems.empty()) {
    std::ostream discard(nullptr);
    std::ostringstream errors;
    progress_display_t display(display_style_t::off, quiet ? discard : std::cout, errors, terminal_width());
    const run_outcome_t trial = run_update(program, config, display, install_mode_t::list_only);
    display.finish();
    if (!trial.listed)
      result.problems.push_back("the trial update failed: the component " + describe_wait_status(trial.wait_status) +
                                "\n" + errors.str());
    else if (!engine_listed(config, *trial.listed))
      result.problems.push_back("Root.EnginePath " + config.core_engine_path() +
                                ": the BASE update list has no file of that name");
  }
  for (const std::string& problem : result.problems) std::cerr << "nimbo-monitor: " << problem << "\n";
  return result.problems.empty() ? 0 : nb::EC_BAD_CONFIG;
}

double seconds_since_epoch() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// One run, told on the display; a run that cannot start is a failed run
// like any other, so that --repeat goes on and --metrics records it.
run_record_t run_once(const std::string& program, const nb::UpdateConfig& config, progress_display_t& display,
                      bool& interrupted) {
  run_record_t record;
  record.started = seconds_since_epoch();
  const auto start = std::chrono::steady_clock::now();
  std::string status_line;
  try {
    const run_outcome_t outcome = run_update(program, config, display);
    interrupted = outcome.interrupted;
    record.status = exit_code_of(outcome.wait_status);
    if (outcome.installed) {
      record.placed = outcome.installed->placed;
      record.removed = outcome.installed->removed;
    }
    // The status text alone would not tell which operation, nor that the
    // refusal is harmless.
    if (record.status == nb::EC_ALREADY_IN_PROGRESS && !outcome.installed)
      status_line = "Another update is already running on " + config.update_dir() + "; this one changed nothing\n";
    status_line += "nimbo-update " + describe_wait_status(outcome.wait_status);
  } catch (const config_error_t& e) {
    record.status = e.code();
    status_line = std::string("nimbo-monitor: ") + e.what();
  } catch (const std::exception& e) {
    record.status = nb::EC_UNEXPECTED_ERROR;
    status_line = std::string("nimbo-monitor: ") + e.what();
  }
  const auto totals = display.finish();
  record.sent = totals.sent;
  record.received = totals.received;
  if (record.status == 0)
    display.note(status_line);
  else
    display.error_line(status_line);
  record.duration = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  record.serials = upd::load_list_serials(config.update_dir());
  record.waits = zone_waits(config.update_dir());
  return record;
}

// The record in the update directory, and the --metrics file when named,
// get the same text; either failing is reported and changes no status.
void record_run(const options_t& options, const nb::UpdateConfig& config, const run_record_t& run) {
  const boost::filesystem::path kept = last_run_path(config.update_dir());
  const run_record_t record = with_last_success(run, kept);
  for (const boost::filesystem::path& path : {kept, boost::filesystem::path(options.metrics)}) {
    if (path.empty()) continue;
    try {
      write_metrics(path, record);
    } catch (const std::exception& e) {
      std::cerr << "nimbo-monitor: cannot write " << path.string() << ": " << e.what() << std::endl;
    }
  }
}

// The component's warnings from a run's error output: what --quiet lets
// through from a successful run, since they announce failures to come (a
// list's signature that expires within a day).
std::string warnings_in(const std::string& output) {
  std::istringstream lines(output);
  std::string warnings;
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with("Warning: ")) warnings += line + "\n";
  return warnings;
}

int run(const options_t& options) {
  if (options.status && !options.metrics.empty()) {
    std::cout << status_text(read_metrics(options.metrics));
    return 0;
  }
  const nb::UpdateConfig config = config_from_ini(read_ini(options.config), ::isatty(2));
  if (const auto warning = exposure_warning(options.config, config))
    std::cerr << "nimbo-monitor: Warning: " << *warning << "\n";
  if (options.status) {
    std::cout << status_text(read_metrics(last_run_path(config.update_dir())));
    return 0;
  }
  if (options.print_config) {
    std::string text;
    google::protobuf::TextFormat::PrintToString(masked(config), &text);
    std::cout << text;
    return 0;
  }
  if (options.check) return check(component_path(options, config), config, options.quiet);
  if (options.repeat && config.update_interval() == 0)
    throw config_error_t(nb::EC_INVALID_OPTION_VALUE,
                         options.config + ": Update.UpdateInterval must be longer than 0 to repeat");
  const std::string program = component_path(options, config);
  // Quiet: on success only the component's warnings, and on failure the
  // run's whole error output (its log lines included), for cron to mail.
  std::ostream discard(nullptr);
  std::ostringstream held_errors;
  progress_display_t display(options.quiet ? display_style_t::off : style_for(options.progress),
                             options.quiet ? discard : std::cout, options.quiet ? held_errors : std::cerr,
                             terminal_width());
  std::mt19937_64 generator{std::random_device{}()};
  run_schedule_t schedule(std::chrono::milliseconds(config.update_interval()),
                          [&] { return std::uniform_real_distribution<double>(0, 1)(generator); });
  int status = 0;
  for (unsigned done = 1;; ++done) {
    bool interrupted = false;
    const run_record_t record = run_once(program, config, display, interrupted);
    status = record.status;
    std::cerr << (status != 0 ? held_errors.str() : warnings_in(held_errors.str())) << std::flush;
    held_errors.str("");
    record_run(options, config, record);
    if (!options.repeat || interrupted || done == options.runs) break;
    // A run that ended because every server of a zone asked to wait would
    // only find them waiting again before that time.
    const std::time_t now = std::time(nullptr);
    const auto wait = std::max(schedule.wait_after(status == 0),
                               std::chrono::duration_cast<run_schedule_t::duration_t>(
                                   wait_asked(upd::load_server_waits(config.update_dir(), now), status, now)));
    if (!wait_for_next_run(static_cast<std::uint64_t>(wait.count()))) break;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  options_t options;
  po::options_description described("Options");
  described.add_options()
      ("help,h", "print this help and exit")
      ("version,v", "print the version and exit")
      ("config,c", po::value(&options.config)->value_name("FILE"),
       (std::string("configuration file (default: ") + default_config + ")").c_str())
      ("component", po::value(&options.component)->value_name("PATH"),
       "the nimbo-update program (default: Update.ExePath, else nimbo-update beside nimbo-monitor)")
      ("repeat,r", po::bool_switch(&options.repeat), "run again every Update.UpdateInterval until SIGINT or SIGTERM")
      ("runs,n", po::value(&options.runs)->value_name("N"), "with --repeat: stop after N runs (0: no limit)")
      ("progress", po::value(&options.progress)->value_name("MODE"), "auto, bar, lines or off (default auto)")
      ("print-config", po::bool_switch(&options.print_config), "print the configuration sent to nimbo-update, passwords as ***, and exit")
      ("check", po::bool_switch(&options.check),
       "check the configuration, then list what an update would install; install nothing")
      ("quiet,q", po::bool_switch(&options.quiet), "print nothing unless something fails")
      ("metrics", po::value(&options.metrics)->value_name("FILE"),
       "after every run, replace FILE with the run's facts in Prometheus text format")
      ("status", po::bool_switch(&options.status), "print the last run's facts, from the --metrics FILE if given, and exit");
  try {
    po::variables_map values;
    po::store(po::command_line_parser(argc, argv).options(described).run(), values);
    po::notify(values);
    if (values.count("help")) {
      std::cout << "Usage: nimbo-monitor [-c FILE] [options]\n" << described << "\n";
      return 0;
    }
    if (values.count("version")) {
      std::cout << "nimbo-monitor " << NIMBO_MONITOR_VERSION << "\n";
      return 0;
    }
    style_for(options.progress);
  } catch (const po::error& e) {
    std::cerr << "nimbo-monitor: " << e.what() << "\nTry nimbo-monitor --help.\n";
    return usage_status;
  }
  try {
    return run(options);
  } catch (const config_error_t& e) {
    std::cerr << "nimbo-monitor: " << e.what() << "\n";
    return nb::EC_BAD_CONFIG;
  } catch (const std::exception& e) {
    std::cerr << "nimbo-monitor: " << e.what() << "\n";
    return nb::EC_UNEXPECTED_ERROR;
  }
}
