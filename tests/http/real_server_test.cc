// Transfers against a real nginx (HTTP and HTTPS with a self-signed
// certificate) and through real squid proxies demanding Basic or Digest
// authentication. The servers start once for the suite; without nginx or
// squid on the machine the tests are skipped with the reason.
#include <memory>
#include <tuple>

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
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7919 % 251);
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

  static inline std::string skip_reason_;
  static inline std::unique_ptr<temp_dir_t> www_;
  static inline std::unique_ptr<nginx_server_t> nginx_;
  static inline std::unique_ptr<squid_proxy_t> basic_;
  static inline std::unique_ptr<squid_proxy_t> digest_;
};

TEST_F(RealServerTest, FetchesOverHttpAndHttpsInAnyCaseAndMissingFilesAreErrors) {
  const std::string upper = "HTTPS://" + loopback(nginx_->https_port()) + "/version.lst";
  const std::tuple<std::string, nb::ErrorCode, const char*> cases[] = {
      {nginx_->http_url("version.lst"), nb::EC_OK, "[version]\nsample\n"},
      {nginx_->https_url("version.lst"), nb::EC_OK, "[version]\nsample\n"},
      {upper, nb::EC_OK, "[version]\nsample\n"},
      {nginx_->https_url("missing.lst"), nb::EC_NETWORK_ERROR, ""},
  };
  for (const auto& [url, code, text] : cases) {
    SCOPED_TRACE(url);
    std::vector<char> body;
    ASSERT_EQ(fetch(url, body), code) << log_->all();
    EXPECT_EQ(text_of(body), text);
    if (code == nb::EC_OK) {
      EXPECT_EQ(downloader_.bytes_received(), body.size());
    }
  }
  EXPECT_TRUE(log_->has("Debug: HTTP error 404 Not Found")) << log_->all();
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

TEST_F(RealServerTest, ProxiesLetThroughOnlyTheRightPassword) {
  for (const squid_proxy_t* squid : {basic_.get(), digest_.get()})
    for (bool https : {false, true})
      for (const std::string& secret : {password, std::string("wrong")}) {
        SCOPED_TRACE((squid == digest_.get() ? "digest " : "basic ") + std::string(https ? "https " : "http ") +
                     secret);
        downloader_.set_proxy(http_proxy(squid->port(), user, secret));
        const bool right = secret == password;
        std::vector<char> body;
        EXPECT_EQ(fetch(https ? nginx_->https_url("version.lst") : nginx_->http_url("version.lst"), body),
                  right ? nb::EC_OK : nb::EC_PROXY_AUTH_ERROR)
            << log_->all() << squid->access_log();
        EXPECT_EQ(text_of(body), right ? "[version]\nsample\n" : "");
      }
  // The proxy's password is the proxy's: never sent on through a tunnel.
  EXPECT_EQ(nginx_->access_log().find("proxy_authorization=Basic"), std::string::npos) << nginx_->access_log();
  EXPECT_EQ(nginx_->access_log().find("proxy_authorization=Digest"), std::string::npos) << nginx_->access_log();
}

}  // namespace
}  // namespace upd::testing
