// COM_NIMBO_MONITOR that does not name a usable socket: one Error line, the
// exit line and a non-zero status, never a hang.
#include <gtest/gtest.h>

#include "main/component.h"

namespace upd::testing {
namespace {

TEST(DescriptorTest, TextThatNamesNoStreamSocketEndsWithAnErrorLine) {
  const std::string bad_cast = "Error: bad lexical cast: source type value could not be interpreted as target",
                    bad_descriptor = "Error: assign: Bad file descriptor";
  const std::pair<std::string, std::string> cases[] = {
      {"", bad_cast},       {"3 ", bad_cast},       {" 3", bad_cast},           {"0x3", bad_cast},
      {"99999999999", bad_cast}, {"-1", bad_descriptor}, {"1000", bad_descriptor},
      // A regular file at descriptor 3.
      {"3", "Error: assign: Socket operation on non-socket"},
  };
  temp_dir_t dir;
  write_file(dir / "plain", "not a socket");
  for (const auto& [text, line] : cases) {
    launch_t launch = component();
    launch.descriptor_text = text;
    if (text == "3") launch.file_at_fd3 = dir / "plain";
    fake_monitor_t monitor(launch);
    EXPECT_EQ(monitor.wait_exit(), 125);
    EXPECT_EQ(monitor.stderr_text(), line + "\nNotice: Exit with status 125 (Unexpected error)\n") << text;
  }
}

TEST(DescriptorTest, ArgumentsAreIgnoredUnderTheMonitor) {
  fake_monitor_t monitor(component({"--help", "--bogus"}));
  monitor.close_socket();
  EXPECT_EQ(monitor.wait_exit(), 1);
  EXPECT_EQ(monitor.stdout_text(), "");
  EXPECT_EQ(monitor.stderr_text(),
            "Error: Monitor IPC error: End of file\nNotice: Exit with status 1 (Error on monitor channel)\n");
}

}  // namespace
}  // namespace upd::testing
