// "nimbo-publish mirror" copies a repository that nginx serves, through a
// squid demanding Basic authentication, into a folder the same nginx serves.
#include <cstdlib>
#include <functional>
#include <utility>

#include "support/nginx_server.h"
#include "support/squid_proxy.h"
#include "tools/tool_test.h"

namespace upd::testing {
namespace {

class MirrorTest : public ToolTest {
 protected:
  void SetUp() override {
    const std::string why = nginx_server_t::unavailable_reason() + squid_proxy_t::unavailable_reason();
    if (!why.empty()) GTEST_SKIP() << why;
    ToolTest::SetUp();
    nginx_ = std::make_unique<nginx_server_t>(dir_.path());
    squid_ = std::make_unique<squid_proxy_t>(squid_proxy_t::basic, "mirror", "pass word");
    ::setenv("NIMBO_PROXY_PASSWORD", "pass word", 1);
  }
  // Mirrors FROM (a folder that nginx serves) into TO, trusting the Ed25519 key old.pem.
  std::string mirror(const std::string& from = "out", const std::string& to = "mirror") {
    return run({"nimbo-publish", "mirror", "--from", nginx_->http_url(from + "/"), "--out", path(to), "--key",
                path("dsa-public.key"), "--list-key", path("public.pem"), "--proxy",
                "127.0.0.1:" + std::to_string(squid_->port()), "--proxy-user", "mirror"});
  }
  // The requests for upstream's files since the last call.
  std::size_t upstream_requests() {
    const std::string log = nginx_->access_log(), fresh = log.substr(std::exchange(seen_, log.size()));
    std::size_t count = 0;
    for (auto at = fresh.find("/out/"); at != std::string::npos; at = fresh.find("/out/", at + 1)) ++count;
    return count;
  }
  const std::vector<std::string> signing_ = {"--sign-key", keys_[0], "--expires", "7d"};
  std::unique_ptr<nginx_server_t> nginx_;
  std::unique_ptr<squid_proxy_t> squid_;
  std::size_t seen_ = 0;
};

TEST_F(MirrorTest, RoundTripFetchesOnlyWhatChangedAndServesWhatUpstreamServes) {
  ASSERT_EQ(publish({{"a.dat", "a"}, {"b.dat", std::string(70000, 'b')}, {"timestamp", "1"}}, signing_), "");
  EXPECT_EQ(mirror(), "version.lst 42 mirrored (fetched: 3, removed: 0)\n");
  EXPECT_EQ(folder_state(dir_ / "mirror", false), folder_state(out_, false));
  EXPECT_NE(squid_->access_log().find("/out/version.lst"), std::string::npos);
  upstream_requests();
  ASSERT_EQ(publish({{"a.dat", "new a"}, {"timestamp", "1"}},
                    {"--serial", "43", "--sign-key", keys_[0], "--expires", "7d"}),
            "");
  fs::remove(out_ / "b.dat"), fs::remove(out_ / "b.dat.lzma");
  EXPECT_EQ(mirror(), "version.lst 43 mirrored (fetched: 1, removed: 1)\n");
  EXPECT_EQ(upstream_requests(), 3u);  // the list, its signature and a.dat.lzma
  EXPECT_EQ(mirror(), "version.lst 43 unchanged\n");
  EXPECT_EQ(upstream_requests(), 2u);
  EXPECT_EQ(folder_state(dir_ / "mirror", false), folder_state(out_, false));
  // What nginx serves from the mirror passes the same checks again.
  EXPECT_EQ(mirror("mirror", "second"), "version.lst 43 mirrored (fetched: 2, removed: 0)\n");
}

TEST_F(MirrorTest, RefusesWhatAClientWouldRefuseAndLeavesTheMirrorAsItWas) {
  ASSERT_EQ(publish({{"a.dat", "1111"}, {"c.dat", "2222"}}, signing_), "");
  ASSERT_EQ(mirror(), "version.lst 42 mirrored (fetched: 2, removed: 0)\n");
  const auto before = folder_state(dir_ / "mirror");
  const std::tuple<std::vector<std::string>, std::function<void()>, std::string> cases[] = {
      {{"--serial", "41", "--sign-key", keys_[0], "--expires", "7d"}, [] {},
       "upstream list 41 is older than the mirrored list 42"},
      {signing_, [&] { write_file(out_ / "a.dat.lzma", read_file(out_ / "c.dat.lzma")); },
       "upstream a.dat.lzma does not match the list's SHA-256"},
      {signing_, [&] { fs::remove(out_ / "a.dat.lzma"), write_file(out_ / "a.dat", "3333"); },
       "upstream a.dat does not match the list's SHA-256"},
      {{"--sign-key", keys_[0], "--expires", "2001-02-03T04:05:06Z"}, [] {},
       "upstream version.lst.sig: expired on 2001-02-03T04:05:06Z"},
      {{"--sign-key", keys_[1], "--expires", "7d"}, [] {}, "upstream version.lst.sig: unknown key"},
      {{}, [] {}, "upstream offers no version.lst.sig"},
      {{"--key", path("dsa.key")}, [] {}, "upstream version.lst: Invalid signature: Invalid LST file"},
  };
  // Each case publishes list 43 unless it says otherwise.
  for (auto [options, tamper, message] : cases) {
    fs::remove(out_ / "version.lst.sig");
    options.insert(options.begin(), {"--serial", "43"});
    ASSERT_EQ(publish({{"a.dat", "1212"}, {"c.dat", "2222"}}, options), "") << message;
    tamper();
    EXPECT_EQ(mirror(), "failed: nimbo-publish: " + message + "\n");
    EXPECT_EQ(folder_state(dir_ / "mirror"), before) << message;
  }
}

}  // namespace
}  // namespace upd::testing
