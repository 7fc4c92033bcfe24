// Started by hand, without COM_NIMBO_MONITOR: only help and version.
#include <gtest/gtest.h>

#include "main/component.h"

namespace upd::testing {
namespace {

const char* const standalone_text = "Cannot run standalone. See nimbo-update(1) for details.\n";
const char* const version_text = "nimbo-update 10.0.0.0.1409222330\n";
const char* const help_text =
    "Command line options:\n"
    "  -h [ --help ]         print help message and exit\n"
    "  -v [ --version ]      print version and exit\n"
    "\n";

struct standalone_case_t {
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int status;
};

class StandaloneTest : public ::testing::TestWithParam<standalone_case_t> {};

TEST_P(StandaloneTest, AnswersOnStandardOutput) {
  const auto& expected = GetParam();
  launch_t launch = component(expected.args);
  launch.descriptor_text.reset();
  fake_monitor_t process(launch);
  EXPECT_EQ(process.wait_exit(), expected.status);
  EXPECT_EQ(process.stdout_text(), expected.out);
  EXPECT_EQ(process.stderr_text(), expected.err);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, StandaloneTest,
    ::testing::Values(
        standalone_case_t{{}, standalone_text, "", 0},
        standalone_case_t{{"--version"}, version_text, "", 0},
        standalone_case_t{{"-v"}, version_text, "", 0},
        standalone_case_t{{"--VERSION"}, version_text, "", 0},
        standalone_case_t{{"--vers"}, version_text, "", 0},
        standalone_case_t{{"--help"}, help_text, "", 0},
        standalone_case_t{{"-h"}, help_text, "", 0},
        standalone_case_t{{"--HeLp"}, help_text, "", 0},
        standalone_case_t{{"-hv"}, help_text, "", 0},
        standalone_case_t{{"--version", "--help"}, help_text, "", 0},
        standalone_case_t{{"--"}, standalone_text, "", 0},
        standalone_case_t{{"--bogus"}, "", "nimbo-update: unrecognised option '--bogus'\n", 66},
        standalone_case_t{{"-x"}, "", "nimbo-update: unrecognised option '-x'\n", 66},
        standalone_case_t{
            {"--help=yes"}, "", "nimbo-update: option '--help' does not take any arguments\n", 60},
        standalone_case_t{{"extra"},
                          "",
                          "nimbo-update: too many positional options have been specified on "
                          "the command line\n",
                          60},
        standalone_case_t{{"/h"},
                          "",
                          "nimbo-update: too many positional options have been specified on "
                          "the command line\n",
                          60}));

}  // namespace
}  // namespace upd::testing
