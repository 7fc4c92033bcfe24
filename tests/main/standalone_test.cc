// Started by hand, without COM_NIMBO_MONITOR: only help and version.
#include <gtest/gtest.h>

#include "main/component.h"

namespace upd::testing {
namespace {

TEST(StandaloneTest, AnswersHelpAndVersionAndRefusesTheRest) {
  const std::string standalone = "Cannot run standalone. See nimbo-update(1) for details.\n",
                    version = "nimbo-update 10.0.0.0.1409222330\n",
                    help = "Command line options:\n  -h [ --help ]         print help message and exit\n"
                           "  -v [ --version ]      print version and exit\n\n",
                    positional = "nimbo-update: too many positional options have been specified on the command line\n";
  const struct {
    std::vector<std::string> args;
    std::string out, err;
    int status;
  } cases[] = {
      {{}, standalone, "", 0},
      {{"--"}, standalone, "", 0},
      {{"-v"}, version, "", 0},
      {{"--VERS"}, version, "", 0},
      {{"--HeLp"}, help, "", 0},
      {{"-hv"}, help, "", 0},
      {{"--version", "--help"}, help, "", 0},
      {{"--bogus"}, "", "nimbo-update: unrecognised option '--bogus'\n", 66},
      {{"--help=yes"}, "", "nimbo-update: option '--help' does not take any arguments\n", 60},
      {{"/h"}, "", positional, 60},
  };
  for (const auto& c : cases) {
    launch_t launch = component(c.args);
    launch.descriptor_text.reset();
    fake_monitor_t process(launch);
    EXPECT_EQ(process.wait_exit(), c.status);
    EXPECT_EQ(process.stdout_text(), c.out);
    EXPECT_EQ(process.stderr_text(), c.err);
  }
}

}  // namespace
}  // namespace upd::testing
