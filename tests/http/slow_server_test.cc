// The average-rate floor of a transfer: a server that keeps every single
// step within the time-out but sends next to nothing is cut after the grace
// period, while a transfer that outlasts the grace period at a decent rate
// is not.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "http/http_connection.h"
#include "http/transfer_fixture.h"
#include "support/fake_http_server.h"

namespace upd::testing {
namespace {

using namespace std::chrono_literals;

class SlowServerTest : public transfer_test_t {};

// Steps stay far inside the time-out, so only the rate floor can end them.
constexpr auto timeout = 100ms;
static_assert(http_connection_t::rate_grace_timeouts_ == 4);

// A dripped body, and a head that never ends.
TEST_F(SlowServerTest, DripJustUnderTheTimeOutEndsBelowTheAverageRate) {
  for (const char* head : {"HTTP/1.1 200 OK\r\n\r\n", "HTTP/1.1 200 OK\r\n"}) {
    SCOPED_TRACE(head);
    fake_http_server_t server([&](fake_peer_t& peer) {
      peer.read_head();
      if (!peer.send(head)) return;
      while (peer.send("X")) std::this_thread::sleep_for(timeout / 10);
    });
    downloader_.set_timeout(timeout);
    std::vector<char> body;
    EXPECT_EQ(fetch(server.url("f"), body), nb::EC_NETWORK_TIMEDOUT);
    const std::string peer = loopback(server.port());
    EXPECT_TRUE(log_->has("Debug: IO with " + peer + " [" + peer + "]: Slower than 1024 bytes/s on average"))
        << log_->all();
    EXPECT_TRUE(body.empty());
  }
}

TEST_F(SlowServerTest, TransferAboveTheFloorMayOutlastTheGracePeriod) {
  // Twelve pauses of 0.4 time-outs: longer than the grace period of four
  // time-outs, at about 100 KiB/s.
  const std::string chunk(4096, 'c');
  fake_http_server_t server([&](fake_peer_t& peer) {
    peer.read_head();
    peer.send("HTTP/1.1 200 OK\r\n\r\n");
    for (int i = 0; i < 12; ++i) {
      std::this_thread::sleep_for(timeout * 2 / 5);
      if (!peer.send(chunk)) return;
    }
  });
  downloader_.set_timeout(timeout);
  std::vector<char> body;
  ASSERT_EQ(fetch(server.url("f"), body), nb::EC_OK) << log_->all();
  EXPECT_EQ(body.size(), 12 * chunk.size());
}

}  // namespace
}  // namespace upd::testing
