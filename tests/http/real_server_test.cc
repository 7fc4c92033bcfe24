// Transfers against a real nginx (HTTP and HTTPS with a self-signed
// certificate) and through real squid proxies demanding Basic or Digest
// authentication. The servers start once for the suite; without nginx or
// squid on the machine the tests are skipped with the reason.
#include <memory>

#include "http/transfer_fixture.h"
#include "support/nginx_server.h"
#include "support/squid_proxy.h"
#include "support/test_support.h"

namespace upd::testing {
namespace {

const std::string user = "updater";
const std::string password = "s3cret pass";  // digest_file_auth reads no colon in it

std::string sample(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 12345;
  for (auto& byte : bytes) {
    state = state * 1103515245 + 12345;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

class RealServerTest : public transfer_test_t {
 protected:
  static void SetUpTestSuite() {
    skip_reason_ = nginx_server_t::unavailable_reason();
    if (skip_reason_.empty()) skip_reason_ = squid_proxy_t::unavailable_reason();
    if (!skip_reason_.empty()) return;
    www_ = std::make_unique<temp_dir_t>();
    write_file(*www_ / "version.lst", "[version]\nsample\n");
    write_file(*www_ / "big.bin", sample(3 * 1024 * 1024 + 17));
    nginx_ = std::make_unique<nginx_server_t>(www_->path());
    basic_ = std::make_unique<squid_proxy_t>(squid_proxy_t::basic, user, password);
    digest_ = std::make_unique<squid_proxy_t>(squid_proxy_t::digest, user, password);
  }
  static void TearDownTestSuite() {
    digest_.reset();
    basic_.reset();
    nginx_.reset();
    www_.reset();
  }
  void SetUp() override {
    if (!skip_reason_.empty()) GTEST_SKIP() << "Skipped: " << skip_reason_;
    transfer_test_t::SetUp();
  }

  void use_proxy(const squid_proxy_t& squid, const std::string& secret) {
    nb::Proxy proxy;
    proxy.set_type(nb::Proxy::PROXY_TYPE_HTTP);
    proxy.set_host("127.0.0.1");
    proxy.set_port(squid.port());
    proxy.set_user(user);
    proxy.set_password(secret);
    downloader_.set_proxy(proxy);
  }

  static inline std::string skip_reason_;
  static inline std::unique_ptr<temp_dir_t> www_;
  static inline std::unique_ptr<nginx_server_t> nginx_;
  static inline std::unique_ptr<squid_proxy_t> basic_;
  static inline std::unique_ptr<squid_proxy_t> digest_;
};

TEST_F(RealServerTest, FetchesOverHttpAndHttps) {
  for (const std::string& url :
       {nginx_->http_url("version.lst"), nginx_->https_url("version.lst")}) {
    SCOPED_TRACE(url);
    std::vector<char> body;
    ASSERT_EQ(fetch(url, body), nb::EC_OK) << log_->all();
    EXPECT_EQ(text_of(body), "[version]\nsample\n");
    EXPECT_EQ(downloader_.bytes_received(), body.size());
  }
}

TEST_F(RealServerTest, ProtocolIsMatchedInAnyCase) {
  std::vector<char> body;
  const std::string url =
      "HTTPS://127.0.0.1:" + std::to_string(nginx_->https_port()) + "/version.lst";
  ASSERT_EQ(fetch(url, body), nb::EC_OK) << log_->all();
  EXPECT_EQ(text_of(body), "[version]\nsample\n");
}

TEST_F(RealServerTest, LargeFileArrivesWhole) {
  temp_dir_t dir;
  for (const std::string& url : {nginx_->http_url("big.bin"), nginx_->https_url("big.bin")}) {
    SCOPED_TRACE(url);
    ASSERT_EQ(outcome([&] { downloader_.download(url_t(url), dir / "big.bin"); }), nb::EC_OK)
        << log_->all();
    EXPECT_TRUE(read_file(dir / "big.bin") == read_file(*www_ / "big.bin"));
  }
  flush_stat();
  EXPECT_GT(watcher_.received, 2 * (3u << 20));
}

TEST_F(RealServerTest, MissingFileIsANetworkError) {
  std::vector<char> body;
  EXPECT_EQ(fetch(nginx_->https_url("missing.lst"), body), nb::EC_NETWORK_ERROR);
  EXPECT_TRUE(body.empty());
  EXPECT_TRUE(log_->has("Debug: HTTP error 404 Not Found")) << log_->all();
}

struct proxy_case_t {
  const char* name;
  bool digest;
  bool https;
  bool right_password;
};

TEST_F(RealServerTest, ProxiesLetThroughOnlyTheRightPassword) {
  const proxy_case_t cases[] = {
      {"basic http right", false, false, true}, {"basic http wrong", false, false, false},
      {"basic https right", false, true, true}, {"basic https wrong", false, true, false},
      {"digest http right", true, false, true}, {"digest http wrong", true, false, false},
      {"digest https right", true, true, true}, {"digest https wrong", true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const squid_proxy_t& squid = c.digest ? *digest_ : *basic_;
    use_proxy(squid, c.right_password ? password : "wrong");
    std::vector<char> body;
    const std::string url =
        c.https ? nginx_->https_url("version.lst") : nginx_->http_url("version.lst");
    EXPECT_EQ(fetch(url, body), c.right_password ? nb::EC_OK : nb::EC_PROXY_AUTH_ERROR)
        << log_->all() << squid.access_log();
    EXPECT_EQ(text_of(body), c.right_password ? "[version]\nsample\n" : "");
  }
}

}  // namespace
}  // namespace upd::testing
