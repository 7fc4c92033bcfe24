#include <gtest/gtest.h>
#include <signal.h>
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
    asio::post(io_, [h = std::move(handler), n = bytes.size()]() mutable {
      h(boost::system::error_code(), n);
    });
  }
  template <class Buffers, class Handler>
  void async_read_some(const Buffers&, Handler&& handler) {
    pending_reads.push_back([h = std::move(handler)]() mutable {
      h(asio::error::operation_aborted, 0);
    });
  }

  std::vector<std::string> writes;
  std::vector<std::function<void()>> pending_reads;

 private:
  asio::io_context& io_;
};

// A link that keeps what it receives and reports.
template <class Socket>
class test_link_t : public cf_basic_ipc_link_t<Socket>,
                    public std::enable_shared_from_this<test_link_t<Socket>> {
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
  typename cf_basic_ipc_link_t<Socket>::link_ptr shared_this() override {
    return this->shared_from_this();
  }
  void handle_idle() override { ++idle_calls; }

 public:
  int socket_fd() { return this->socket()->native_handle(); }
};

std::string header(std::uint32_t length) {
  std::string bytes(4, '\0');
  encode_frame_length(reinterpret_cast<std::uint8_t*>(bytes.data()), length);
  return bytes;
}

std::string frame(const std::string& body) {
  return header(static_cast<std::uint32_t>(body.size())) + body;
}

class LinkOverSocketPair : public ::testing::Test {
 protected:
  void SetUp() override {
    auto socket = std::make_shared<unix_socket>(io_, asio::local::stream_protocol(), pair_.release(0));
    link_->start(socket);
  }
  void send_raw(const std::string& bytes) { write_all(pair_.fd[1], bytes.data(), bytes.size()); }
  // Runs the loop until the condition holds or a generous bound passes.
  template <class Condition>
  void run_until(Condition done) {
    for (int i = 0; i < 2000 && !done(); ++i) {
      io_.restart();
      io_.run_for(std::chrono::milliseconds(5));
    }
  }

  upd::testing::socket_pair_t pair_;
  asio::io_context io_;
  std::shared_ptr<test_link_t<unix_socket>> link_ = std::make_shared<test_link_t<unix_socket>>();
};

TEST_F(LinkOverSocketPair, DeliversAFrameSplitIntoSingleBytes) {
  const std::string bytes = frame("split body");
  for (char c : bytes) {
    send_raw(std::string(1, c));
    io_.restart();
    io_.poll();
  }
  run_until([&] { return !link_->messages.empty(); });
  EXPECT_EQ(link_->messages, std::vector<std::string>{"split body"});
  EXPECT_TRUE(link_->errors.empty());
}

TEST_F(LinkOverSocketPair, DeliversSeveralFramesOfOneSegmentInOrder) {
  send_raw(frame("one") + frame("two") + frame("three"));
  run_until([&] { return link_->messages.size() == 3; });
  EXPECT_EQ(link_->messages, (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(LinkOverSocketPair, AcceptsAFrameOfExactlyTheLimit) {
  const std::string body(max_size, 'b');
  std::thread sender([&] { send_raw(frame(body)); });
  run_until([&] { return !link_->messages.empty() || !link_->errors.empty(); });
  sender.join();
  ASSERT_EQ(link_->messages.size(), 1u);
  EXPECT_EQ(link_->messages[0].size(), body.size());
  EXPECT_TRUE(link_->errors.empty());
}

TEST_F(LinkOverSocketPair, RejectsLengthsOfZeroOrAboveTheLimitWithoutReadingTheBody) {
  for (std::uint32_t length : {max_size + 1, 0u}) {
    upd::testing::socket_pair_t pair;
    auto link = std::make_shared<test_link_t<unix_socket>>();
    link->start(std::make_shared<unix_socket>(io_, asio::local::stream_protocol(), pair.release(0)));
    const std::string bytes = header(length) + "body bytes";
    write_all(pair.fd[1], bytes.data(), bytes.size());
    run_until([&] { return !link->errors.empty(); });
    ASSERT_EQ(link->errors.size(), 1u) << length;
    EXPECT_EQ(link->errors[0], nb::make_error_code(nb::EC_BAD_MESSAGE_SIZE));
    int unread = 0;
    ioctl(link->socket_fd(), FIONREAD, &unread);
    EXPECT_EQ(unread, 10) << "the body was read";
    EXPECT_TRUE(link->messages.empty());
  }
}

TEST_F(LinkOverSocketPair, PeerClosingIsReportedExactlyOnce) {
  ::close(pair_.release(1));
  run_until([&] { return !link_->errors.empty(); });
  io_.restart();
  io_.run_for(std::chrono::milliseconds(20));
  ASSERT_EQ(link_->errors.size(), 1u);
  EXPECT_EQ(link_->errors[0], asio::error::eof);
}

TEST_F(LinkOverSocketPair, OversizeMessageThrowsAndQueuesNothing) {
  nb::StringList huge;
  // One field: a tag byte, a four-byte length and the text, one byte over.
  huge.add_item(std::string(max_size + 1 - 5, 'h'));
  ASSERT_EQ(huge.ByteSizeLong(), max_size + 1);
  EXPECT_THROW(link_->async_send_message(huge), boost::system::system_error);

  nb::StringList small;
  small.add_item("small");
  link_->async_send_message(small);
  io_.restart();
  io_.run_for(std::chrono::milliseconds(20));
  std::string expected = frame(small.SerializeAsString());
  std::string received(expected.size(), '\0');
  read_all(pair_.fd[1], received.data(), received.size());
  EXPECT_EQ(received, expected);
  int unread = 0;
  ioctl(pair_.fd[1], FIONREAD, &unread);
  EXPECT_EQ(unread, 0);
}

TEST_F(LinkOverSocketPair, WritingToAClosedPeerIsAnErrorNotASignal) {
  signal(SIGPIPE, SIG_DFL);
  ::close(pair_.release(1));
  nb::StringList message;
  message.add_item("into the void");
  link_->async_send_message(message);
  run_until([&] { return !link_->errors.empty(); });
  ASSERT_FALSE(link_->errors.empty());
  EXPECT_TRUE(link_->errors[0] == asio::error::broken_pipe ||
              link_->errors[0] == asio::error::connection_reset ||
              link_->errors[0] == asio::error::eof)
      << link_->errors[0].message();
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
  link->async_send_message(a);
  link->async_send_message(b);
  link->async_send_message(c);
  io.run();
  ASSERT_EQ(stream->writes.size(), 2u);
  EXPECT_EQ(stream->writes[0], frame(a.SerializeAsString()));
  EXPECT_EQ(stream->writes[1], frame(b.SerializeAsString()) + frame(c.SerializeAsString()));
  EXPECT_EQ(link->idle_calls, 1);
  // The pending read holds the link, which holds the stream: let it go.
  stream->pending_reads.clear();
}

}  // namespace
}  // namespace upd
