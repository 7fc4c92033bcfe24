// The update directory's records of server waits and kept lists: what a
// Retry-After value means, and records that come back as written, forget
// what ended, and are dropped whole when damaged or planted as a link.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/filesystem/operations.hpp>

#include "formats/list_signature.h"
#include "support/test_support.h"
#include "update/kept_lists.h"
#include "update/server_waits.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;

TEST(ServerWaits, RetryAfterIsSecondsOrAnHttpDateAtMostADayAhead) {
  const std::time_t now = *parse_utc_time("2026-12-08T00:00:00Z");
  const struct {
    const char* value;
    std::optional<std::time_t> wait;
  } cases[] = {
      {"120", 120}, {"Tue, 08 Dec 2026 00:10:00 GMT", 600}, {"99999999999999999999999", max_server_wait},
      {"Sat, 08 Dec 2029 00:00:00 GMT", max_server_wait}, {"0", {}}, {"Mon, 07 Dec 2026 23:00:00 GMT", {}},
      {"", {}}, {"-5", {}}, {"1.5", {}}, {"tomorrow", {}}, {"Tue, 08 Dec 2026 00:10:00 GMT x", {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(retry_after_time(c.value, now), c.wait ? std::optional(now + *c.wait) : std::nullopt) << c.value;
}

TEST(ServerWaits, TheRecordOutlivesTheRunAndForgetsWaitsThatEnded) {
  temp_dir_t dir;
  server_waits_t waits(dir.path(), 1000);
  waits.add("BASE", "http://a/", 2000);
  waits.add_zone("BASE", 1500);
  waits.add("NBS", "http://b/", 1200);
  EXPECT_EQ(server_waits_t(dir.path(), 1300).until("BASE", "http://a/"), 2000);
  EXPECT_EQ(load_server_waits(dir.path(), 1300).size(), 2u);
  EXPECT_EQ(fs::status(dir / server_waits_name).permissions(), fs::perms(0600));
  for (const char* damaged : {"nimbo-update waits 1\nBASE soon http://a/\nend\n", "nimbo-update waits 1\n",
                              "nimbo-update waits 1\nELSEWHERE 2026-12-08T00:00:00Z\nend\n"}) {
    write_file(dir / server_waits_name, damaged);
    EXPECT_TRUE(load_server_waits(dir.path(), 0).empty()) << damaged;
  }
}

TEST(KeptLists, ComeBackAsKeptAndDamagedOrLinkedOnesAreNone) {
  temp_dir_t dir;
  const kept_list_t kept{"http://a/version.lst", {"list\nbytes\n", {"\"e1\"", "Tue, 08 Dec 2026 00:10:00 GMT"}},
                         kept_body_t{"signature", {"", ""}}};
  record_kept_lists(dir.path(), {{"BASE", {"42", true, 0, std::make_shared<const kept_list_t>(kept)}}, {"NBS", {"7"}}});
  const fs::path path = kept_list_path(dir.path(), "BASE");
  EXPECT_EQ(fs::status(path).permissions(), fs::perms(0600));
  EXPECT_FALSE(fs::exists(kept_list_path(dir.path(), "NBS")));
  const auto loaded = load_kept_list(dir.path(), "BASE");
  ASSERT_TRUE(loaded && loaded->signature);
  EXPECT_EQ(std::tie(loaded->url, loaded->list.bytes, loaded->list.validators, loaded->signature->bytes),
            std::tie(kept.url, kept.list.bytes, kept.list.validators, kept.signature->bytes));
  const std::string text = read_file(path);
  for (const std::string& damaged : {text.substr(0, text.size() - 1), text.substr(0, text.find("list 11")),
                                     std::string(text).replace(text.find("list 11"), 7, "list 12")}) {
    write_file(path, damaged);
    EXPECT_FALSE(load_kept_list(dir.path(), "BASE")) << damaged;
  }
  write_file(dir / "elsewhere", text);
  fs::remove(path);
  fs::create_symlink(dir / "elsewhere", path);
  EXPECT_FALSE(load_kept_list(dir.path(), "BASE"));
  // A list that came without validators cannot be asked about: none is kept.
  const kept_list_t bare{kept.url, {"list", {}}, {}};
  record_kept_lists(dir.path(), {{"BASE", {"43", true, 0, std::make_shared<const kept_list_t>(bare)}}});
  EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
}

}  // namespace
}  // namespace upd::testing
