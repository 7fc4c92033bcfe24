#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/fd_io.h"
#include "ipc/ipc_link.h"
#include "list.pb.h"
#include "support/test_support.h"

namespace upd {
namespace {

namespace asio = boost::asio;
using unix_socket = asio::local::stream_protocol::socket;

constexpr std::uint32_t max_size = 67108864;

// Stands in for an asynchronous stream: records every write and completes
// it at once in full; reads never complete.
class recording_stream_t {
 public:
  using executor_type = asio::io_context::executor_type;
  explicit recording_stream_t(asio::io_context& io) : io_(io) {}
  executor_type get_executor() { return io_.get_executor(); }
  bool is_open() const { return true; }
  template <class Buffers, class Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    std::string bytes(asio::buffer_size(buffers), '\0');
    asio::buffer_copy(asio::buffer(bytes), buffers);
    writes.push_back(bytes);
    asio::post(io_, [h = std::move(handler), n = bytes.size()]() mutable { h(boost::system::error_code(), n); });
  }
  template <class Buffers, class Handler>
  void async_read_some(const Buffers&, Handler&& handler) {
    pending_reads.push_back([h = std::move(handler)]() mutable { h(asio::error::operation_aborted, 0); });
  }
  std::vector<std::string> writes;
  std::vector<std::function<void()>> pending_reads;

 private:
  asio::io_context& io_;
};

// A link that keeps what it receives and reports.
template <class Socket>
class test_link_t : public cf_basic_ipc_link_t<Socket>, public std::enable_shared_from_this<test_link_t<Socket>> {
 public:
  test_link_t() : cf_basic_ipc_link_t<Socket>(max_size) {}
  std::vector<std::string> messages;
  std::vector<boost::system::error_code> errors;
  int idle_calls = 0;

 protected:
  void handle_message(google::protobuf::io::ZeroCopyInputStream& input) override {
    std::string body;
    const void* data;
    int size;
    while (input.Next(&data, &size)) body.append(static_cast<const char*>(data), size);
    messages.push_back(body);
  }
  void handle_error(const boost::system::error_code& error) override { errors.push_back(error); }
  typename cf_basic_ipc_link_t<Socket>::link_ptr shared_this() override { return this->shared_from_this(); }
  void handle_idle() override { ++idle_calls; }

 public:
  int socket_fd() { return this->socket()->native_handle(); }
};

std::string frame(std::uint32_t length, const std::string& body) {
  std::string bytes(4, '\0');
  encode_frame_length(reinterpret_cast<std::uint8_t*>(bytes.data()), length);
  return bytes + body;
}
std::string frame(const std::string& body) { return frame(static_cast<std::uint32_t>(body.size()), body); }

class LinkOverSocketPair : public ::testing::Test {
 protected:
  void SetUp() override { link_->start(std::make_shared<unix_socket>(io_, asio::local::stream_protocol(), pair_.release(0))); }
  void send_raw(const std::string& bytes) { write_all(pair_.fd[1], bytes.data(), bytes.size()); }
  // Runs the loop until the link has received or reported something, or a generous bound passes.
  void run_until_news() {
    for (int i = 0; i < 2000 && link_->messages.empty() && link_->errors.empty(); ++i) {
      io_.restart();
      io_.run_for(std::chrono::milliseconds(5));
    }
  }
  int unread(int fd) {
    int bytes = 0;
    ioctl(fd, FIONREAD, &bytes);
    return bytes;
  }

  testing::socket_pair_t pair_;
  asio::io_context io_;
  std::shared_ptr<test_link_t<unix_socket>> link_ = std::make_shared<test_link_t<unix_socket>>();
};

TEST_F(LinkOverSocketPair, DeliversFramesSplitIntoSingleBytesOrSharingASegment) {
  const std::string bytes = frame("split body") + frame(std::string(300, 'l')) + frame("three");
  for (char c : bytes.substr(0, 14)) {
    send_raw(std::string(1, c));
    io_.restart();
    io_.poll();
  }
  send_raw(bytes.substr(14));
  run_until_news();
  io_.restart();
  io_.run_for(std::chrono::milliseconds(20));
  EXPECT_EQ(link_->messages, (std::vector<std::string>{"split body", std::string(300, 'l'), "three"}));
  EXPECT_TRUE(link_->errors.empty());
}

TEST_F(LinkOverSocketPair, AcceptsAFrameOfExactlyTheLimit) {
  std::thread sender([&] { send_raw(frame(std::string(max_size, 'b'))); });
  run_until_news();
  sender.join();
  ASSERT_EQ(link_->messages.size(), 1u);
  EXPECT_EQ(link_->messages[0].size(), max_size);
}

TEST_F(LinkOverSocketPair, RejectsLengthsOfZeroOrAboveTheLimitWithoutReadingTheBody) {
  for (std::uint32_t length : {max_size + 1, 0u}) {
    testing::socket_pair_t pair;
    link_ = std::make_shared<test_link_t<unix_socket>>();
    link_->start(std::make_shared<unix_socket>(io_, asio::local::stream_protocol(), pair.release(0)));
    write_all(pair.fd[1], frame(length, "body bytes").data(), 14);
    run_until_news();
    EXPECT_EQ(link_->errors, std::vector<boost::system::error_code>{nb::make_error_code(nb::EC_BAD_MESSAGE_SIZE)});
    EXPECT_EQ(unread(link_->socket_fd()), 10) << "the body was read";
  }
}

TEST(LinkBatching, ThreeSendsGiveOneWriteThenOneWriteOfTheOtherTwo) {
  asio::io_context io;
  auto stream = std::make_shared<recording_stream_t>(io);
  auto link = std::make_shared<test_link_t<recording_stream_t>>();
  link->start(stream);
  nb::StringList a, b, c;
  a.add_item("a");
  b.add_item("bb");
  c.add_item("ccc");
  for (const auto* message : {&a, &b, &c}) link->async_send_message(*message);
  io.run();
  EXPECT_EQ(stream->writes, (std::vector<std::string>{frame(a.SerializeAsString()),
                                                     frame(b.SerializeAsString()) + frame(c.SerializeAsString())}));
  EXPECT_EQ(link->idle_calls, 1);
  // The pending read holds the link, which holds the stream: let it go.
  stream->pending_reads.clear();
}

}  // namespace
}  // namespace upd
