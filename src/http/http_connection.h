// HTTP/1.1 requests against one URL at a time: directly or through an
// HTTP proxy, over TCP or TLS (through a CONNECT tunnel behind a proxy),
// the server's certificate checked or not as tls_check.h says. The
// connection stays open for the next request to the same place when the
// answer allows it (connection_reuse.h).
//
// async_request() starts a request on the owner's event loop and reports
// its end to a completion; request() runs one to its end on the calling
// thread, running the loop one handler at a time meanwhile (handlers of
// other connections on the loop run too). Every handler and signal runs on
// the loop's one thread. Every wait (connect, handshake, each write and
// read) is bounded by one timer re-armed for each step. A proxy's 407 is
// answered once with a Proxy-Authorization header, when credentials are
// configured; only a 2xx answer to CONNECT opens a tunnel. A body with a
// Content-Length ends after that many bytes, and a close before them fails
// the transfer (a cut connection must not pass for a short file). A chunked
// body is decoded and ends with its last chunk, a close before it failing
// likewise; any other transfer coding fails. Without either, the body is
// whatever arrives until the server closes the connection. Bytes written
// and read are added to the byte counter, which must outlive the connection.
//
// A server that drips one byte just before every timeout meets each step's
// limit and would hold a transfer for ever. So once connected (or once a
// kept connection takes the request), a transfer must also keep an average
// of min_average_rate_ bytes a second from the end of a grace period of
// rate_grace_timeouts_ timeouts on: it may last no longer than the grace
// period plus the time the bytes it has received would take at that rate.
// A slower one ends with EC_NETWORK_TIMEDOUT.
//
// Asynchronous completions hold the connection through shared_from_this(),
// so it must be owned by a std::shared_ptr before a request. A completion
// left over from an earlier transfer is recognised and ignored.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/progress_counters.h"
#include "error.pb.h"
#include "http/chunked_decoder.h"
#include "http/connection_reuse.h"
#include "http/http_message.h"
#include "http/response_parser.h"
#include "http/tls_check.h"
#include "http/url.h"
#include "proxy.pb.h"

namespace upd {

class http_connection_t : public std::enable_shared_from_this<http_connection_t> {
 public:
  using error_code = boost::system::error_code;
  // The failure the request ended with, null on success.
  using completion_t = std::function<void(std::exception_ptr)>;
  // A complete head of the target request; a slot may set a code to refuse
  // the answer, which ends the transfer with it (once a short body of known
  // end has been read past, to keep the connection).
  boost::signals2::signal<void(http_connection_t&, const http_response_t&, error_code&)>
      header_signal;
  // One body chunk, in order, never empty; a slot may set a code to stop.
  boost::signals2::signal<void(http_connection_t&, const std::vector<char>&, error_code&)>
      data_signal;
  // The transfer has ended with success or the failure.
  boost::signals2::signal<void(http_connection_t&, const error_code&)> finished_signal;

  static constexpr std::uint64_t min_average_rate_ = 1024;  // bytes per second
  static constexpr int rate_grace_timeouts_ = 4;
  // The body of a refused answer (a 404, a 407) is read past, to keep the
  // connection, when it is at most this long.
  static constexpr std::uint64_t max_discarded_body_ = 64 * 1024;

  enum state_t { tunnel_setup = 0, awaiting_head = 1, reading_body = 2, finished = 3 };
  enum mode_t { no_mode = 0, direct_http = 1, direct_https = 2, proxy_http = 3, proxy_https = 4 };

  http_connection_t(boost::asio::io_context& service, byte_counter_t* progress);
  http_connection_t(const http_connection_t&) = delete;
  http_connection_t& operator=(const http_connection_t&) = delete;
  virtual ~http_connection_t();

  void set_url(const url_t& url) { url_ = url; }
  void set_method(const std::string& method) { method_ = method; }
  void set_headers(const http_headers_t& headers) { headers_ = headers; }
  void set_proxy(const nb::Proxy& proxy) { proxy_ = proxy; }
  void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  void set_tls_check(const tls_check_t& check) { tls_check_ = check; }
  // The data bytes a chunked body may announce; a header_signal slot may
  // set it for the body that follows. nullopt: no bound.
  void set_body_limit(std::optional<std::uint64_t> limit) { body_limit_ = limit; }

  // Why the last transfer's chunked framing was malformed; "" when it was
  // not. Unlike a cut, such a body is no beginning to continue.
  const std::string& body_fault() const { return body_fault_; }

  // Starts a request; when it has ended, emits finished_signal, then calls
  // done with the failure: a system error carrying its code (or what a
  // finished_signal slot threw).
  void async_request(completion_t done);
  // Runs one request to its end and throws its failure, if any. The
  // thread's interruption point is tested between handlers.
  void request();
  // Ends the request in progress, if any, without a signal or a completion,
  // and closes the connection.
  void cancel();

 private:
  using tcp = boost::asio::ip::tcp;
  using tls_stream_t = boost::asio::ssl::stream<tcp::socket>;
  using clock_type = boost::asio::steady_timer::clock_type;

  // One try of the request: a request may be tried again after a 407, or
  // on a new connection when a kept one had been closed.
  void begin_attempt();
  void start_attempt();
  // Ends the attempt: the step that threw the code ran into its end.
  void end_attempt(const error_code& failure);
  template <class Step>
  void run_step(Step step);
  [[noreturn]] void finish_request(const error_code& code);
  void note_failure(const std::string& reason);
  [[noreturn]] void fail(const std::string& reason, const error_code& code);
  // A kept connection was found closed before any byte of the answer.
  [[noreturn]] void retry_on_new_connection(const std::string& step);
  // Keeps the connection for the next request, or closes it and runs the
  // cancelled completions.
  void settle_connection(bool keep);
  connection_route_t route() const;

  template <class Member>
  auto bind(Member member);

  void start_resolve();
  void handle_resolve(const error_code& error, const tcp::resolver::results_type& endpoints);
  void start_connect();
  void handle_connect(const error_code& error);
  void handle_connect_timeout();
  void next_endpoint_or_finish(nb::ErrorCode code);
  void start_handshake();
  void handle_handshake(const error_code& error);
  void send_request();
  void start_write(bool tunnel);
  void handle_write(const error_code& error, std::size_t bytes);
  void start_read();
  void handle_read(const error_code& error, std::size_t bytes);
  void on_response_header(const http_response_t& head, error_code& error);
  void deliver_body();
  void handle_io_timeout();
  // When the transfer falls below the average rate; max() before connecting.
  clock_type::time_point rate_deadline() const;
  // Moves the deadline to a timeout from now; handler runs if it passes.
  void arm_timer(void (http_connection_t::*handler)());
  void wait_for_deadline();
  void handle_timer(const error_code& error);
  void close_socket();
  std::string build_request(const std::string& method);

  bool uses_tls() const { return mode_ == direct_https || mode_ == proxy_https; }
  // The TCP socket, under the TLS stream in the TLS modes.
  tcp::socket& tcp_socket();
  // "host:port" of the proxy, for reasons.
  std::string proxy_name() const;
  // "host:service [address:port]" for log lines.
  std::string peer() const;

  boost::asio::io_context& service_;
  byte_counter_t* progress_;

  // Fresh for every transfer.
  std::unique_ptr<tcp::resolver> resolver_;
  std::string query_host_;
  std::string query_service_;
  tcp::resolver::results_type endpoints_;
  tcp::resolver::results_type::const_iterator endpoint_;
  std::unique_ptr<tcp::socket> socket_;
  std::unique_ptr<boost::asio::ssl::context> tls_context_;
  std::unique_ptr<tls_stream_t> tls_stream_;

  boost::asio::steady_timer timer_;
  clock_type::time_point deadline_;
  void (http_connection_t::*timeout_handler_)() = nullptr;
  bool timer_waiting_ = false;  // a wait of the current transfer is pending
  clock_type::time_point connected_at_;  // max() until connected
  std::uint64_t bytes_since_connect_ = 0;
  std::optional<std::uint64_t> body_left_;  // of an announced length
  std::optional<chunked_decoder_t> chunked_;  // of a chunked body
  std::optional<std::uint64_t> body_limit_;
  std::string body_fault_;
  state_t state_ = finished;
  mode_t mode_ = no_mode;
  completion_t done_;
  bool auth_answered_ = false;  // the request was repeated after a 407
  bool retry_fresh_ = false;    // the attempt ended to be tried on a new connection
  // The socket (and TLS stream) is connected along open_route_ and may
  // carry the next request.
  bool open_ = false;
  connection_route_t open_route_;
  bool reused_ = false;     // the attempt runs on a connection kept from before
  bool keep_open_ = false;  // the attempt's answer allows another request after it
  error_code refused_;      // of a refused answer whose body is read past
  bool discarded_ = false;  // that body has been read to its end
  std::uint64_t answer_bytes_ = 0;  // received since the request was written
  // Counts transfers; completions carry the number of theirs.
  std::uint64_t transfer_ = 0;
  std::string request_text_;
  std::string failure_;  // why the current transfer failed, for its error
  bool writing_connect_ = false;  // request_text_ is the CONNECT request

  url_t url_;
  std::string method_;
  http_headers_t headers_;
  nb::Proxy proxy_;
  http_request_t request_;
  std::string proxy_authorization_;  // for the repeated request only
  std::vector<char> read_buffer_;
  http_response_parser_t parser_;
  std::chrono::milliseconds timeout_{60000};
  tls_check_t tls_check_;
};

}  // namespace upd
