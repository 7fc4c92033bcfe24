// Transfers from a real nginx (HTTP and HTTPS with a self-signed
// certificate) through real squid proxies demanding Basic or Digest
// authentication (direct fetches from nginx are what every end-to-end run
// does). The servers start once for the suite; without nginx or squid on the
// machine the tests are skipped with the reason.
#include <memory>

#include "http/transfer_fixture.h"
#include "support/nginx_server.h"
#include "support/squid_proxy.h"

namespace upd::testing {
namespace {

const std::string user = "updater", password = "s3cret pass";  // digest_file_auth reads no colon in it
const std::string list = "[version]\nsample\n";

class RealServerTest : public transfer_test_t {
 protected:
  static void SetUpTestSuite() {
    skip_reason_ = nginx_server_t::unavailable_reason() + squid_proxy_t::unavailable_reason();
    if (!skip_reason_.empty()) return;
    www_ = std::make_unique<temp_dir_t>();
    write_file(*www_ / "version.lst", list);
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
  }

  static inline std::string skip_reason_;
  static inline std::unique_ptr<temp_dir_t> www_;
  static inline std::unique_ptr<nginx_server_t> nginx_;
  static inline std::unique_ptr<squid_proxy_t> basic_, digest_;
};

TEST_F(RealServerTest, ProxiesLetThroughOnlyTheRightPassword) {
  const std::string by_name = nginx_->https_url("version.lst", "localhost");
  for (const squid_proxy_t* squid : {basic_.get(), digest_.get()})
    for (const std::string& url : {nginx_->http_url("version.lst"), nginx_->https_url("version.lst"), by_name})
      for (const std::string& secret : {password, std::string("wrong")}) {
        SCOPED_TRACE((squid == digest_.get() ? "digest " : "basic ") + url + " " + secret);
        downloader_.set_proxy(http_proxy(squid->port(), user, secret));
        std::vector<char> body;
        EXPECT_EQ(fetch(url, body), secret == password ? nb::EC_OK : nb::EC_PROXY_AUTH_ERROR)
            << log_.all() << squid->access_log();
        EXPECT_EQ(text_of(body), secret == password ? list : "");
      }
  // The proxy's password is the proxy's: never sent on through a tunnel.
  EXPECT_EQ(nginx_->access_log().find("proxy_authorization=Basic"), std::string::npos) << nginx_->access_log();
  EXPECT_EQ(nginx_->access_log().find("proxy_authorization=Digest"), std::string::npos) << nginx_->access_log();
  // The host's name travels inside the tunnel too.
  EXPECT_NE(nginx_->access_log().find("sni=localhost server=localhost"), std::string::npos);
}

// Consecutive requests share one connection: directly, in the clear
// through a proxy, and in a tunnel opened once with the proxy's credentials.
TEST_F(RealServerTest, ConsecutiveRequestsShareOneConnection) {
  for (const squid_proxy_t* squid : {static_cast<squid_proxy_t*>(nullptr), basic_.get(), digest_.get()})
    for (const std::string& url : {nginx_->http_url("version.lst"), nginx_->https_url("version.lst")}) {
      SCOPED_TRACE(url + (squid ? " through a proxy" : ""));
      if (squid) downloader_.set_proxy(http_proxy(squid->port(), user, password));
      const std::size_t from = nginx_->access_log().size();
      std::vector<char> body;
      for (int i = 0; i < 3; ++i) EXPECT_EQ(fetch(url, body), nb::EC_OK) << log_.all();
      // squid keeps connections of its own to the server.
      if (!squid || url.starts_with("https")) {
        EXPECT_EQ(nginx_->connections_since(from), 1u) << nginx_->access_log();
      }
    }
}

// Through a tunnel the certificate is checked as directly, when asked.
TEST_F(RealServerTest, TunnelsCheckTheCertificateWhenAsked) {
  downloader_.set_proxy(http_proxy(basic_->port(), user, password));
  downloader_.set_tls_check({true, nginx_->ca().string()});
  std::vector<char> body;
  EXPECT_EQ(fetch(nginx_->https_url("version.lst", "127.0.0.2"), body), nb::EC_OK) << log_.all();
  EXPECT_EQ(fetch(nginx_->https_url("version.lst", "localhost"), body), nb::EC_NETWORK_ERROR);
  EXPECT_NE(log_.all().find("hostname mismatch"), std::string::npos) << log_.all();
}

}  // namespace
}  // namespace upd::testing
