// COM_NIMBO_MONITOR that does not name a usable socket: one Error line, the
// exit line and a non-zero status, never a hang.
#include <gtest/gtest.h>

#include "main/component.h"

namespace upd::testing {
namespace {

const char* const bad_cast_text =
    "Error: bad lexical cast: source type value could not be interpreted as target\n"
    "Notice: Exit with status 125 (Unexpected error)\n";

class DescriptorTextTest : public ::testing::TestWithParam<std::string> {};

TEST_P(DescriptorTextTest, IsRefusedAsNotANumber) {
  launch_t launch = component();
  launch.descriptor_text = GetParam();
  fake_monitor_t monitor(launch);
  EXPECT_EQ(monitor.wait_exit(), 125);
  EXPECT_EQ(monitor.stderr_text(), bad_cast_text);
  EXPECT_EQ(monitor.stdout_text(), "");
}

INSTANTIATE_TEST_SUITE_P(NotANumber, DescriptorTextTest,
                         ::testing::Values("", "abc", "3 ", " 3", "3x", "0x3", "99999999999"));

struct bad_descriptor_t {
  const char* name;
  const char* text;
  bool regular_file_at_fd3;
  const char* error_line;
};

void PrintTo(const bad_descriptor_t& bad, std::ostream* out) { *out << bad.name; }

class BadDescriptorTest : public ::testing::TestWithParam<bad_descriptor_t> {};

TEST_P(BadDescriptorTest, EndsWithAnErrorLine) {
  const auto& bad = GetParam();
  temp_dir_t dir;
  launch_t launch = component();
  launch.descriptor_text = bad.text;
  if (bad.regular_file_at_fd3) {
    write_file(dir / "plain", "not a socket");
    launch.file_at_fd3 = dir / "plain";
  }
  fake_monitor_t monitor(launch);
  EXPECT_EQ(monitor.wait_exit(), 125);
  EXPECT_EQ(monitor.stderr_text(),
            std::string(bad.error_line) + "\nNotice: Exit with status 125 (Unexpected error)\n");
}

INSTANTIATE_TEST_SUITE_P(NotAStreamSocket, BadDescriptorTest,
                         ::testing::Values(bad_descriptor_t{"MinusOne", "-1", false,
                                                            "Error: assign: Bad file descriptor"},
                                           bad_descriptor_t{"Closed", "1000", false,
                                                            "Error: assign: Bad file descriptor"},
                                           bad_descriptor_t{
                                               "RegularFile", "3", true,
                                               "Error: assign: Socket operation on non-socket"}),
                         [](const ::testing::TestParamInfo<bad_descriptor_t>& info) {
                           return std::string(info.param.name);
                         });

TEST(DescriptorTest, ArgumentsAreIgnoredUnderTheMonitor) {
  fake_monitor_t monitor(component({"--help", "--bogus"}));
  monitor.close_socket();
  EXPECT_EQ(monitor.wait_exit(), 1);
  EXPECT_EQ(monitor.stdout_text(), "");
  EXPECT_EQ(monitor.stderr_text(),
            "Error: Monitor IPC error: End of file\n"
            "Notice: Exit with status 1 (Error on monitor channel)\n");
}

}  // namespace
}  // namespace upd::testing
