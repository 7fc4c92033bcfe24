// Length-framed protobuf messages over a connected stream socket.
//
// Frame: a 4-byte little-endian body length N (1 .. max_message_size), then
// N bytes of protobuf. Reading is an endless cycle (length, body, deliver,
// repeat) for as long as the socket is open and no handler throws. Every
// completion holds the link alive through shared_this(), so the link must be
// owned by a shared pointer before start(). Everything runs on the one event
// loop of the socket; there is no lock.
//
// Errors are reported once per failed operation through handle_error();
// cancelled operations are ignored. Sends never raise SIGPIPE: Asio passes
// MSG_NOSIGNAL on Linux, so a closed peer shows up as a broken-pipe error.
#pragma once

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message_lite.h>

#include <boost/asio/error.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/error.h"
#include "ipc/wire.h"

namespace upd {

template <class Socket>
class cf_basic_ipc_link_t {
 public:
  using socket_type = Socket;
  using link_ptr = std::shared_ptr<cf_basic_ipc_link_t>;

  explicit cf_basic_ipc_link_t(std::uint32_t max_message_size) : max_message_size_(max_message_size) {}
  cf_basic_ipc_link_t(const cf_basic_ipc_link_t&) = delete;
  cf_basic_ipc_link_t& operator=(const cf_basic_ipc_link_t&) = delete;
  virtual ~cf_basic_ipc_link_t() = default;

  void start(std::shared_ptr<Socket> socket) {
    socket_ = std::move(socket);
    start_read();
  }

  // Frames and queues one message; throws EC_BAD_MESSAGE_SIZE ("async_send_message")
  // and queues nothing when its encoding exceeds max_message_size.
  void async_send_message(const google::protobuf::MessageLite& message) {
    const std::size_t size = message.ByteSizeLong();  // caches sub-message sizes
    if (size > max_message_size_)
      throw boost::system::system_error(nb::make_error_code(nb::EC_BAD_MESSAGE_SIZE),
                                        "async_send_message");
    const std::size_t start = pending_output_.size();
    pending_output_.resize(start + frame_header_size + size);
    encode_frame_length(&pending_output_[start], static_cast<std::uint32_t>(size));
    message.SerializeWithCachedSizesToArray(&pending_output_[start + frame_header_size]);
    start_write();
  }

  std::uint32_t max_message_size() const { return max_message_size_; }
  // Whether queued frames still wait to be written.
  bool sending() const { return !in_flight_output_.empty() || !pending_output_.empty(); }

 protected:
  virtual void handle_message(google::protobuf::io::ZeroCopyInputStream& input) = 0;
  virtual void handle_error(const boost::system::error_code& error) = 0;
  virtual link_ptr shared_this() = 0;
  // Called whenever nothing is left to send.
  virtual void handle_idle() {}

  bool is_open() const { return socket_ && socket_->is_open(); }
  Socket* socket() const { return socket_.get(); }

 private:
  using buffer_t = std::vector<std::uint8_t>;

  void start_read() {
    read_buffer_.assign(frame_header_size, 0);
    boost::asio::async_read(*socket_, boost::asio::buffer(read_buffer_),
                            [self = shared_this()](const boost::system::error_code& error, std::size_t n) {
                              self->handle_read_len(error, n);
                            });
  }

  void handle_read_len(const boost::system::error_code& error, std::size_t) {
    if (!is_open()) return;
    if (error) return report(error);
    const std::uint32_t length = decode_frame_length(read_buffer_.data());
    // Checked before anything is allocated for the body.
    if (length == 0 || length > max_message_size_)
      return report(nb::make_error_code(nb::EC_BAD_MESSAGE_SIZE));
    read_buffer_.assign(length, 0);
    boost::asio::async_read(*socket_, boost::asio::buffer(read_buffer_),
                            [self = shared_this()](const boost::system::error_code& error, std::size_t n) {
                              self->handle_read_message(error, n);
                            });
  }

  void handle_read_message(const boost::system::error_code& error, std::size_t) {
    if (!is_open()) return;
    if (error) return report(error);
    {
      google::protobuf::io::ArrayInputStream input(read_buffer_.data(),
                                                   static_cast<int>(read_buffer_.size()));
      handle_message(input);
    }
    release_buffer(read_buffer_);
    if (is_open()) start_read();
  }

  // At most one write is in flight; frames queued meanwhile collect in
  // pending_output_ and go out together, in order, in the next write.
  void start_write() {
    if (in_flight_output_.empty() && !pending_output_.empty()) {
      in_flight_output_.swap(pending_output_);
      boost::asio::async_write(*socket_, boost::asio::buffer(in_flight_output_),
                               [self = shared_this()](const boost::system::error_code& error, std::size_t n) {
                                 self->handle_write(error, n);
                               });
    }
    if (in_flight_output_.empty()) handle_idle();
  }

  void handle_write(const boost::system::error_code& error, std::size_t) {
    if (!is_open()) return;
    if (error) return report(error);
    release_buffer(in_flight_output_);
    start_write();
  }

  // Keeps a small buffer's capacity for reuse but frees a large one, so a
  // single big message does not pin its memory for the rest of the run.
  static void release_buffer(buffer_t& buffer) {
    if (buffer.capacity() > 1048575)
      buffer_t().swap(buffer);
    else
      buffer.clear();
  }

  void report(const boost::system::error_code& error) {
    if (error == boost::asio::error::operation_aborted) return;
    handle_error(error);
  }

  const std::uint32_t max_message_size_;
  std::shared_ptr<Socket> socket_;
  buffer_t read_buffer_;
  buffer_t pending_output_;
  buffer_t in_flight_output_;
};

}  // namespace upd
