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

  std::string config(const std::string& extra) {
    write_file(dir_ / "nimbo.ini",
               "[Root]\nVirusBaseDir = " + (dir_ / "bases").string() +
                   "\n[Monitor]\nUpdateDir = " + (dir_ / "update").string() + "\n" + extra);
    return "-c " + (dir_ / "nimbo.ini").string() + " --component " + testing::fake_component_t::program();
  }

  upd::testing::temp_dir_t dir_;
  testing::fake_component_t fake_;
};

TEST_F(MonitorCliTest, RunsTheComponentOnceAndExitsWithItsStatus) {
  fake_.plan("check 10 10\nrequest\n");
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

TEST_F(MonitorCliTest, ReportsAFailedAttemptAndExitsWithItsCode) {
  fake_.plan("exit 98\n");
  EXPECT_EQ(monitor(config("") + " --progress off"), 98);
  EXPECT_EQ(out(), "Network: sent 0 bytes, received 0 bytes\nnimbo-update exited with status 98 (Invalid checksum)\n");
}

TEST_F(MonitorCliTest, RepeatsAtTheUpdateIntervalForTheGivenNumberOfRuns) {
  fake_.plan("request\n");
  EXPECT_EQ(monitor(config("[Update]\nUpdateInterval = 10ms\n") + " --progress off --repeat --runs 3"), 0);
  std::size_t runs = 0;
  for (std::size_t at = 0; (at = out().find("nimbo-update exited with status 0", at)) != std::string::npos; ++at)
    ++runs;
  EXPECT_EQ(runs, 3u);
}

TEST_F(MonitorCliTest, RefusesToRepeatWithoutAPause) {
  EXPECT_EQ(monitor(config("[Update]\nUpdateInterval = 0s\n") + " --repeat"), nb::EC_BAD_CONFIG);
  EXPECT_EQ(err(), "nimbo-monitor: " + (dir_ / "nimbo.ini").string() +
                       ": Update.UpdateInterval must be longer than 0 to repeat\n");
}

TEST_F(MonitorCliTest, TakesTheComponentFromExePath) {
  fake_.plan("exit 7\n");
  write_file(dir_ / "nimbo.ini", "[Update]\nExePath = " + testing::fake_component_t::program() + "\n[Monitor]\nUpdateDir = " +
                                     (dir_ / "update").string() + "\n");
  EXPECT_EQ(monitor("-c " + (dir_ / "nimbo.ini").string() + " --progress off"), 7);
}

TEST_F(MonitorCliTest, PrintsTheConfigurationItWouldSend) {
  EXPECT_EQ(monitor(config("[Update]\nNetworkTimeout = 5s\n") + " --print-config"), 0);
  EXPECT_NE(out().find("network_timeout: 5000\n"), std::string::npos) << out();
  EXPECT_FALSE(fs::exists(dir_ / "update"));  // nothing was started
}

TEST_F(MonitorCliTest, ABadConfigurationNamesTheLineAndExitsWithBadConfig) {
  EXPECT_EQ(monitor(config("[Update]\nBogus = 1\n")), nb::EC_BAD_CONFIG);
  EXPECT_EQ(err(), "nimbo-monitor: " + (dir_ / "nimbo.ini").string() + ":6: Update.Bogus: Unknown option\n");
  EXPECT_EQ(out(), "");
}

TEST_F(MonitorCliTest, AComponentThatCannotStartIsReported) {
  write_file(dir_ / "nimbo.ini", "[Monitor]\nUpdateDir = " + (dir_ / "update").string() + "\n");
  EXPECT_EQ(monitor("-c " + (dir_ / "nimbo.ini").string() + " --component /nonexistent/nimbo-update"),
            nb::EC_UNEXPECTED_ERROR);
  EXPECT_EQ(err(), "nimbo-monitor: cannot start /nonexistent/nimbo-update: No such file or directory\n");
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
