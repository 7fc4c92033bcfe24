// The nimbo-monitor program end to end: command line, configuration file,
// a run against the stand-in component, exit statuses and what it prints.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <cstdlib>

#include "error.pb.h"
#include "fake_component.h"

namespace upd::monitor {
namespace {

namespace fs = boost::filesystem;
using upd::testing::read_file;
using upd::testing::write_file;

class MonitorCliTest : public ::testing::Test {
 protected:
  // Runs nimbo-monitor with the arguments; returns its exit status.
  int monitor(const std::string& arguments) {
    const std::string command = std::string(NIMBO_MONITOR_PATH) + " " + arguments + " >" + (dir_ / "out").string() +
                                " 2>" + (dir_ / "err").string() + " </dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string out() const { return read_file(dir_ / "out"); }
  std::string err() const { return read_file(dir_ / "err"); }

  // Writes the configuration file; the arguments that name it and the component.
  std::string config(const std::string& extra, const std::string& component = testing::fake_component_t::program()) {
    write_file(dir_ / "nimbo.ini",
               "[Root]\nVirusBaseDir = " + (dir_ / "bases").string() +
                   "\n[Monitor]\nUpdateDir = " + (dir_ / "update").string() + "\n" + extra);
    return "-c " + (dir_ / "nimbo.ini").string() + (component.empty() ? "" : " --component " + component);
  }

  upd::testing::temp_dir_t dir_;
  testing::fake_component_t fake_;
};

TEST_F(MonitorCliTest, RunsTheComponentOnceAndExitsWithItsStatus) {
  fake_.plan("send tag: MY_PROGRESS_NOTIFICATION check { bytes_to_check: 10 bytes_checked: 10 }\nrequest\n");
  EXPECT_EQ(monitor(config("") + " --progress lines"), 0);
  EXPECT_EQ(out(),
            "Checking local files: 10 bytes\n"
            "Checked 10 bytes\n"
            "Installing 0 files, removing 0 files, 0 up to date\n"
            "Installed 0 files, removed 0 files\n"
            "Network: sent 0 bytes, received 0 bytes\n"
            "nimbo-update exited with status 0 (Success)\n");
  EXPECT_EQ(err(), "");
  EXPECT_NE(fake_.record().find("virus_base_dir: \"" + (dir_ / "bases").string() + "\"\n"), std::string::npos);
  EXPECT_NE(fake_.record().find("base_installed: true\n"), std::string::npos);
}

struct cli_case_t {
  std::string plan, ini, component, arguments;
  int status;
  std::string out, err;
};

TEST_F(MonitorCliTest, FailuresExitWithTheirCodeAndSayWhy) {
  const std::string fake = testing::fake_component_t::program();
  const std::string ini = "nimbo-monitor: " + (dir_ / "nimbo.ini").string();
  const std::string failed = "Network: sent 0 bytes, received 0 bytes\nnimbo-update exited with status 98 (Invalid checksum)\n";
  const cli_case_t cases[] = {
      {"exit 98\n", "", fake, " --progress off", 98, failed, ""},
      {"exit 2\n", "", fake, " --progress off", nb::EC_ALREADY_IN_PROGRESS,
       "Network: sent 0 bytes, received 0 bytes\nAnother update is already running on " + (dir_ / "update").string() +
           "; this one changed nothing\nnimbo-update exited with status 2 (Operation is already in progress)\n",
       ""},
      {"exit 98\n", "[Update]\nExePath = " + fake + "\n", "", " --progress off", 98, failed, ""},
      {"", "[Update]\nUpdateInterval = 0s\n", fake, " --repeat", nb::EC_BAD_CONFIG, "",
       ini + ": Update.UpdateInterval must be longer than 0 to repeat\n"},
      {"", "[Update]\nBogus = 1\n", fake, "", nb::EC_BAD_CONFIG, "", ini + ":6: Update.Bogus: Unknown option\n"},
      {"", "", "/nonexistent/nimbo-update", "", nb::EC_UNEXPECTED_ERROR, "",
       "nimbo-monitor: cannot start /nonexistent/nimbo-update: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini + c.component + c.arguments);
    fake_.plan(c.plan);
    EXPECT_EQ(monitor(config(c.ini, c.component) + c.arguments), c.status);
    EXPECT_EQ(out(), c.out);
    EXPECT_EQ(err(), c.err);
  }
}

TEST_F(MonitorCliTest, RepeatsAtTheUpdateIntervalForTheGivenNumberOfRuns) {
  fake_.plan("request\n");
  EXPECT_EQ(monitor(config("[Update]\nUpdateInterval = 10ms\n") + " --progress off --repeat --runs 3"), 0);
  std::size_t runs = 0;
  for (std::size_t at = 0; (at = out().find("nimbo-update exited with status 0", at)) != std::string::npos; ++at)
    ++runs;
  EXPECT_EQ(runs, 3u);
}

TEST_F(MonitorCliTest, PrintsTheConfigurationItWouldSend) {
  EXPECT_EQ(monitor(config("[Update]\nNetworkTimeout = 5s\n") + " --print-config"), 0);
  EXPECT_NE(out().find("network_timeout: 5000\n"), std::string::npos) << out();
  EXPECT_FALSE(fs::exists(dir_ / "update"));  // nothing was started
}

TEST_F(MonitorCliTest, UsageMistakesExitWithTwo) {
  EXPECT_EQ(monitor(""), 2);
  EXPECT_EQ(err(), "nimbo-monitor: the option --config is required\nTry nimbo-monitor --help.\n");
  EXPECT_EQ(monitor("-c x --progress fancy"), 2);
  EXPECT_EQ(monitor("--frobnicate"), 2);
  EXPECT_EQ(monitor("--help"), 0);
  EXPECT_EQ(out().rfind("Usage: nimbo-monitor -c FILE [options]\n", 0), 0u);
}

}  // namespace
}  // namespace upd::monitor
