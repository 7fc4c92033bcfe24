// Throughput of the frame link over a Unix socket pair, against a plain
// write()/read() loop moving the same frames over the same kind of pair.
//
//   build/bin/link_bench [small-frame-count] [big-frame-count]
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "common/fd_io.h"
#include "ipc/ipc_link.h"
#include "list.pb.h"

namespace {

namespace asio = boost::asio;
using unix_socket = asio::local::stream_protocol::socket;
using clock_type = std::chrono::steady_clock;

class counting_link_t : public upd::cf_basic_ipc_link_t<unix_socket>,
                        public std::enable_shared_from_this<counting_link_t> {
 public:
  counting_link_t(std::size_t expected, asio::io_context& io)
      : cf_basic_ipc_link_t(67108864), expected_(expected), io_(io) {}
  std::size_t frames = 0, bytes = 0;

  // Sends `count` messages, `batch` at a time whenever the output runs dry,
  // the way a producer that respects back-pressure would.
  void send(const nb::StringList* message, std::size_t count, std::size_t batch) {
    message_ = message;
    to_send_ = count;
    batch_ = batch;
    handle_idle();
  }

 protected:
  void handle_message(google::protobuf::io::ZeroCopyInputStream& input) override {
    const void* data;
    int size;
    while (input.Next(&data, &size)) bytes += static_cast<std::size_t>(size);
    if (++frames == expected_) io_.stop();
  }
  void handle_error(const boost::system::error_code& error) override {
    std::fprintf(stderr, "link error: %s\n", error.message().c_str());
    std::exit(1);
  }
  link_ptr shared_this() override { return shared_from_this(); }
  void handle_idle() override {
    for (std::size_t i = 0; i < batch_ && to_send_ > 0; ++i) {
      --to_send_;
      async_send_message(*message_);
    }
  }

 private:
  const nb::StringList* message_ = nullptr;
  std::size_t to_send_ = 0, batch_ = 0;
  std::size_t expected_;
  asio::io_context& io_;
};

struct result_t {
  double seconds;
  std::size_t frames, bytes;
};

std::string frame_of(const nb::StringList& message) {
  std::string body = message.SerializeAsString();
  std::string bytes(4, '\0');
  upd::encode_frame_length(reinterpret_cast<std::uint8_t*>(bytes.data()),
                           static_cast<std::uint32_t>(body.size()));
  return bytes + body;
}

result_t through_link(const nb::StringList& message, std::size_t count, std::size_t batch) {
  int fds[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
  asio::io_context receiver_io, sender_io;
  auto receiver = std::make_shared<counting_link_t>(count, receiver_io);
  receiver->start(std::make_shared<unix_socket>(receiver_io, asio::local::stream_protocol(), fds[0]));
  auto sender = std::make_shared<counting_link_t>(0, sender_io);
  sender->start(std::make_shared<unix_socket>(sender_io, asio::local::stream_protocol(), fds[1]));

  const auto start = clock_type::now();
  std::thread sending([&] {
    asio::post(sender_io, [&] { sender->send(&message, count, batch); });
    sender_io.run();
  });
  receiver_io.run();
  const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  sender_io.stop();
  sending.join();
  return {seconds, receiver->frames, receiver->bytes};
}

result_t through_plain_loop(const nb::StringList& message, std::size_t count) {
  int fds[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
  const std::string frame = frame_of(message);
  const auto start = clock_type::now();
  std::thread sending([&] {
    for (std::size_t i = 0; i < count; ++i) upd::write_all(fds[1], frame.data(), frame.size());
  });
  std::string body;
  result_t result{0, 0, 0};
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t header[4];
    upd::read_all(fds[0], header, 4);
    body.resize(upd::decode_frame_length(header));
    upd::read_all(fds[0], body.data(), body.size());
    ++result.frames;
    result.bytes += body.size();
  }
  result.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  sending.join();
  close(fds[0]);
  close(fds[1]);
  return result;
}

void report(const char* name, const nb::StringList& message, std::size_t count, std::size_t batch) {
  const result_t link = through_link(message, count, batch);
  const result_t plain = through_plain_loop(message, count);
  auto line = [](const char* who, const result_t& r) {
    std::printf("  %-14s %10.0f frames/s %10.1f MB/s (%zu frames in %.3f s)\n", who,
                r.frames / r.seconds, r.bytes / r.seconds / 1e6, r.frames, r.seconds);
  };
  std::printf("%s\n", name);
  line("link", link);
  line("write/read", plain);
  std::printf("  ratio link / write-read loop: %.2f\n", plain.seconds / link.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t small_count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  const std::size_t big_count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 100;
  nb::StringList small, big;
  small.add_item("progress");
  big.add_item(std::string(16 * 1024 * 1024 - 5, 'x'));
  report("small frames", small, small_count, 1000);
  report("16 MiB frames", big, big_count, 1);
}
