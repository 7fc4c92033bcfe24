// What the log does before any logger is installed: it runs in a program of
// its own because installing a logger cannot be undone.
#include <gtest/gtest.h>

#include "common/log.h"
#include "support/test_support.h"

namespace upd {
namespace {

TEST(LogBeforeConfiguration, WritesNoticesToStandardErrorAndDropsDebug) {
  upd::testing::fd_capture_t captured;
  UPD_LOG(log_notice, "first " << 1);
  UPD_LOG(log_debug, "hidden");
  UPD_LOG(log_info, "hidden too");
  log_tagged("tag", 7, "tagged");
  log_no_memory();
  EXPECT_EQ(captured.text(), "Notice: first 1\ntag-7: tagged\nError: Not enough memory\n");
}

}  // namespace
}  // namespace upd
