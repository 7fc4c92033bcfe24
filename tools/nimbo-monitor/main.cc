// nimbo-monitor: reads the configuration file, runs nimbo-update once (or
// again every UpdateInterval with --repeat), shows its progress, installs
// what it staged and exits with the component's exit status.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <google/protobuf/text_format.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>
#include <chrono>
#include <iostream>

#include "child_process.h"
#include "config_error.h"
#include "monitor_config.h"
#include "update_run.h"

namespace po = boost::program_options;
using namespace upd::monitor;

namespace {

constexpr int usage_status = 2;

struct options_t {
  std::string config;
  std::string component;
  std::string progress = "auto";
  bool repeat = false;
  unsigned runs = 0;
  bool print_config = false;
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

int run(const options_t& options) {
  const nb::UpdateConfig config = config_from_ini(read_ini(options.config), ::isatty(2));
  if (options.print_config) {
    std::string text;
    google::protobuf::TextFormat::PrintToString(config, &text);
    std::cout << text;
    return 0;
  }
  if (options.repeat && config.update_interval() == 0)
    throw config_error_t(nb::EC_INVALID_OPTION_VALUE,
                         options.config + ": Update.UpdateInterval must be longer than 0 to repeat");
  const std::string program = component_path(options, config);
  progress_display_t display(style_for(options.progress), std::cout, std::cerr, terminal_width());
  int status = 0;
  for (unsigned done = 1;; ++done) {
    const run_outcome_t outcome = run_update(program, config, display);
    display.finish();
    // The status text alone would not tell which operation, nor that the
    // refusal is harmless.
    if (exit_code_of(outcome.wait_status) == nb::EC_ALREADY_IN_PROGRESS && !outcome.installed)
      display.note("Another update is already running on " + config.update_dir() + "; this one changed nothing");
    display.note("nimbo-update " + describe_wait_status(outcome.wait_status));
    status = exit_code_of(outcome.wait_status);
    if (!options.repeat || outcome.interrupted || done == options.runs) break;
    if (!wait_for_next_run(config.update_interval())) break;
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
      ("config,c", po::value(&options.config)->value_name("FILE"), "configuration file (required)")
      ("component", po::value(&options.component)->value_name("PATH"),
       "the nimbo-update program (default: Update.ExePath, else nimbo-update beside nimbo-monitor)")
      ("repeat,r", po::bool_switch(&options.repeat), "run again every Update.UpdateInterval until SIGINT or SIGTERM")
      ("runs,n", po::value(&options.runs)->value_name("N"), "with --repeat: stop after N runs (0: no limit)")
      ("progress", po::value(&options.progress)->value_name("MODE"), "auto, bar, lines or off (default auto)")
      ("print-config", po::bool_switch(&options.print_config), "print the configuration sent to nimbo-update and exit");
  try {
    po::variables_map values;
    po::store(po::command_line_parser(argc, argv).options(described).run(), values);
    po::notify(values);
    if (values.count("help")) {
      std::cout << "Usage: nimbo-monitor -c FILE [options]\n" << described << "\n";
      return 0;
    }
    if (values.count("version")) {
      std::cout << "nimbo-monitor " << NIMBO_MONITOR_VERSION << "\n";
      return 0;
    }
    if (options.config.empty()) throw po::error("the option --config is required");
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
