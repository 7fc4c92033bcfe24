// "nimbo-publish mirror" copies a repository that nginx serves, through a
// squid demanding Basic authentication, into a folder the same nginx serves.
#include <gmock/gmock.h>

#include <cstdlib>
#include <functional>
#include <future>
#include <regex>
#include <utility>

#include "support/fake_http_server.h"
#include "support/nginx_server.h"
#include "keyfile/signer.h"
#include "support/squid_proxy.h"
#include "tools/tool_test.h"

namespace upd::testing {
namespace {

using ::testing::StartsWith;

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
  // Options of a list with this serial, signed with this Ed25519 key.
  std::vector<std::string> signed_list(const std::string& serial, const std::string& key, const char* expires = "7d") {
    return {"--serial", serial, "--sign-key", key, "--expires", expires, "--zone", "BASE"};
  }
  std::unique_ptr<nginx_server_t> nginx_;
  std::unique_ptr<squid_proxy_t> squid_;
  std::size_t seen_ = 0;
};

TEST_F(MirrorTest, RoundTripFetchesOnlyWhatChangedAndServesWhatUpstreamServes) {
  ASSERT_THAT(publish({{"a.dat", std::string(99, 'a')}, {"b.dat", std::string(99, 'b')}, {"timestamp", "1"}},
                    signed_list("42", keys_[0])),
            StartsWith("version.lst "));
  const std::string from = " for zone BASE from " + nginx_->http_url("out/") + "\n";
  EXPECT_EQ(mirror(), "version.lst 42 mirrored (fetched: 3, removed: 0)" + from);
  EXPECT_NE(squid_->access_log().find("/out/version.lst"), std::string::npos);
  EXPECT_EQ(upstream_requests(), 7u);  // the list, its signature, both indexes and three forms
  ASSERT_THAT(publish({{"a.dat", "A"}, {"timestamp", "1"}}, signed_list("43", keys_[0], "999999")), StartsWith("version.lst "));
  // a.dat now comes plain only: the mirror drops its old packed form too.
  fs::remove(out_ / "b.dat"), fs::remove(out_ / "b.dat.lzma"), fs::remove(out_ / "a.dat.lzma");
  EXPECT_EQ(mirror(), "version.lst 43 mirrored (fetched: 1, removed: 1)" + from);
  EXPECT_EQ(upstream_requests(), 5u);  // the list, its signature, both indexes and a.dat (never a.dat.lzma)
  // Validators of an answer given within the second the file changed are not kept.
  for (const char* name : {"version.lst", "version.lst.sig"}) fs::last_write_time(out_ / name, std::time(nullptr) - 60);
  EXPECT_EQ(mirror(), "version.lst 43 unchanged" + from);
  EXPECT_EQ(upstream_requests(), 2u);
  EXPECT_EQ(mirror(), "version.lst 43 unchanged" + from);
  EXPECT_EQ(upstream_requests(), 2u);  // asked whether they changed: two answers without bodies
  const std::string log = nginx_->access_log();
  const std::regex not_modified("(^|\n)[0-9]+ 304 ");
  EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), not_modified), std::sregex_iterator()), 2) << log;
  auto mirrored = folder_state(dir_ / "mirror", false);
  EXPECT_EQ(mirrored.erase(".nimbo-mirror-validators"), 1u);
  EXPECT_EQ(mirrored, folder_state(out_, false));
  // What nginx serves from the mirror passes the same checks again.
  EXPECT_EQ(mirror("mirror", "second"),
            "version.lst 43 mirrored (fetched: 2, removed: 0) for zone BASE from " + nginx_->http_url("mirror/") + "\n");
}

// An upstream packed-form index that is none for the list is passed over
// with a warning: every packed form is asked for, and the mirror's own
// index names what it holds.
TEST_F(MirrorTest, PassesOverAnUpstreamPackedIndexOfAnotherList) {
  ASSERT_THAT(publish({{"a.dat", std::string(99, 'a')}, {"b.dat", "b"}}, signed_list("42", keys_[0])),
              StartsWith("version.lst "));
  write_file(out_ / "version.lst.packed", "nimbo-packed 1\nserial 41\nb.dat\n");
  EXPECT_THAT(mirror(), StartsWith("Warning: upstream version.lst.packed ignored: it belongs to serial 41, not 42\n"
                                   "version.lst 42 mirrored (fetched: 2, removed: 0)"));
  EXPECT_EQ(upstream_requests(), 7u);  // the list, its signature, both indexes, a.dat.lzma, b.dat.lzma and b.dat
  EXPECT_EQ(read_file(dir_ / "mirror" / "version.lst.packed"), "nimbo-packed 1\nserial 42\na.dat\n");
}

TEST_F(MirrorTest, RefusesWhatAClientWouldRefuseAndLeavesTheMirrorAsItWas) {
  ASSERT_THAT(publish({{"a.dat", std::string(99, '1')}}, {"--serial", "41"}), StartsWith("version.lst "));
  EXPECT_EQ(mirror(), "failed: nimbo-publish: upstream offers no version.lst.sig\n");  // --list-key demands one
  ASSERT_THAT(publish({{"a.dat", std::string(99, '1')}, {"c.dat", std::string(99, '2')}}, signed_list("42", keys_[0])),
            StartsWith("version.lst "));
  ASSERT_THAT(mirror(), StartsWith("version.lst 42 mirrored (fetched: 2, removed: 0)"));
  const auto before = folder_state(dir_ / "mirror");
  // Checked, upstream's certificate must name its host.
  EXPECT_NE(run({"nimbo-publish", "mirror", "--from", nginx_->https_url("out/", "localhost"), "--out", path("mirror"),
                 "--key", path("dsa-public.key"), "--tls-verify", "--tls-ca-file", nginx_->ca().string()})
                .find("certificate verify failed: hostname mismatch"), std::string::npos);
  const std::string dsa = "upstream version.lst: Invalid signature (DSA key " +
                          dsa_key_id(read_key_file(path("dsa-public.key"))) + "): Invalid LST file";
  const std::tuple<std::vector<std::string>, std::function<void()>, std::string> cases[] = {
      {signed_list("41", keys_[0]), [] {}, "upstream list 41 is older than the mirrored list 42"},
      {signed_list("43", keys_[0]), [&] { write_file(out_ / "a.dat.lzma", read_file(out_ / "c.dat.lzma")); },
       "upstream a.dat.lzma does not match the list's SHA-256"},
      {signed_list("43", keys_[0]), [&] { fs::remove(out_ / "a.dat.lzma"), write_file(out_ / "a.dat", "3333"); },
       "upstream a.dat does not match the list's SHA-256"},
      {signed_list("43", keys_[0]), [&] { fs::remove(out_ / "a.dat.lzma"), write_file(out_ / "a.dat", std::string(100, '3')); },
       nginx_->http_url("out/a.dat") + ": size mismatch: more than 99 bytes"},
      {signed_list("43", keys_[0], "2001-02-03T04:05:06Z"), [] {},
       "upstream version.lst.sig: expired on 2001-02-03T04:05:06Z (this computer's time: 20"},
      {signed_list("43", keys_[1]), [] {}, "upstream version.lst.sig: unknown key: signed by " + run({"nimbo-keygen",
       "--fingerprint", keys_[1]}).substr(0, 16) + "; trusted: " + run({"nimbo-keygen", "--fingerprint", keys_[0]}).substr(0, 16)},
      {{"--serial", "43", "--sign-key", keys_[0], "--expires", "7d", "--zone", "VERSION"}, [] {},
       "upstream version.lst.sig: zone mismatch: signed for VERSION"},
      {{"--serial", "43"}, [&] {  // 21 digits, well signed
         const std::string list = read_file(out_ / "version.lst"), part = "[NimboUpdateList]\r\n[" +
             std::string(21, '4') + list.substr(22, list.find("\r\n[Signature]") - 22);
         write_file(out_ / "version.lst", part + "\r\n[Signature]\r\nSignature=" + sign_text(read_key_file(NIMBO_TEST_KEY), part) + "\r\n");
       }, "upstream version.lst: serial too long"},
      {{"--serial", "43"}, [] {}, "upstream offers no version.lst.sig"},
      {{"--serial", "43", "--key", path("dsa.key")}, [] {}, dsa},
      {{"--serial", "43"},
       [&] {
         write_file(out_ / "version.lst", std::regex_replace(read_file(out_ / "version.lst"), std::regex("=\\w+"), "=0"));
       },
       dsa},
  };
  for (const auto& [options, tamper, message] : cases) {
    fs::remove(out_ / "version.lst.sig"), fs::remove(out_ / "version.lst");
    ASSERT_THAT(publish({{"a.dat", std::string(99, '3')}, {"c.dat", std::string(99, '2')}}, options), StartsWith("version.lst ")) << message;
    tamper();
    EXPECT_THAT(mirror(), StartsWith("failed: nimbo-publish: " + message)) << message;
    EXPECT_EQ(folder_state(dir_ / "mirror"), before) << message;
  }
}

// A run held up by a server that sends half of a.dat.lzma and waits: its
// temporary is private, a second run gives up at once, a list put into the
// mirror meanwhile is not replaced by an older one, a killed run's leftover
// goes, and SIGTERM leaves nothing behind. No assertion may leave the
// server waiting.
TEST_F(MirrorTest, AHeldUpRunKeepsTheMirrorToItselfAndLeavesNoTemporaries) {
  for (const int phase : {0, 1}) {
    EXPECT_THAT(publish({{"a.dat", std::string(9999, 'a')}}, {"--serial", std::to_string(43 + 2 * phase)}),
                StartsWith("version.lst 4"));
    std::promise<void> stalled, release;
    fake_http_server_t server([&, go = release.get_future().share()](fake_peer_t& peer) {
      const std::string head = peer.read_head();
      const fs::path file = dir_.path().string() + head.substr(head.find("/out/"), head.find(" HTTP/") - head.find("/out/"));
      const std::string body = fs::exists(file) ? read_file(file) : "", code = fs::exists(file) ? "200" : "404";
      const std::size_t now = file.filename() == "a.dat.lzma" ? body.size() / 2 : body.size();
      peer.send("HTTP/1.1 " + code + " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                body.substr(0, now));
      if (now < body.size()) stalled.set_value(), go.wait(), peer.send(body.substr(now));
    });
    const std::vector<std::string> argv = {NIMBO_BINARY_DIR "/bin/nimbo-publish", "mirror", "--from", server.url("out/"),
                                           "--out", path("mirror"), "--key", path("dsa-public.key")};
    if (phase == 1) write_file(dir_ / "mirror" / ".a.dat.nimbo-Ab12Cd", "a killed run's");
    child_process_t first(argv, dir_ / "first");
    stalled.get_future().wait();
    // The temporary, mode 0600, and from phase 1 on the list 44.
    const auto held = folder_state(dir_ / "mirror", false);
    EXPECT_TRUE(held.size() == 1u + phase && held.begin()->first.starts_with(".a.dat.lzma.nimbo-") &&
                held.begin()->second.ends_with(" mode 384")) << ::testing::PrintToString(held);
    if (phase == 0) {
      EXPECT_EQ(run(argv), "failed: nimbo-publish: " + path("mirror") + ": another mirror run is writing it\n");
      EXPECT_THAT(publish({{"a.dat", "a"}}, {"--serial", "44"}), StartsWith("version.lst 44"));
      fs::copy_file(out_ / "version.lst", dir_ / "mirror" / "version.lst");
      release.set_value();
    }
    EXPECT_EQ(first.stop(phase == 0 ? 0 : SIGTERM), phase == 0 ? 1 << 8 : SIGTERM);
    if (phase == 1) release.set_value();
    EXPECT_EQ(folder_state(dir_ / "mirror", false).size(), 1u);  // the list 44 alone
  }
  EXPECT_EQ(read_file(dir_ / "first"), "nimbo-publish: the mirrored list is now 44, not older than upstream list 43\n");
}

}  // namespace
}  // namespace upd::testing
