// The steps of one transfer, each bounded by the timer:
//
//   resolve --> connect (next address on failure or time-out)
//     direct_http, proxy_http:  write request -> head -> body ... end of stream
//     direct_https:             handshake -> write request -> head -> body
//     proxy_https:              write CONNECT -> head (tunnel) -> handshake
//                               -> write request -> head -> body
//
// A 407 head ends the transfer with EC_PROXY_AUTH_ERROR after computing the
// answer; request() then runs the whole sequence once more if there is one.
#include "http/http_connection.h"

#include <algorithm>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>
#include <sstream>
#include <utility>

#include "common/error.h"
#include "common/log.h"
#include "common/printable.h"
#include "http/body_extent.h"
#include "http/proxy_auth.h"

namespace upd {

namespace {

constexpr std::size_t read_buffer_size = 65536;

bool cancelled(const boost::system::error_code& error) {
  return error == boost::asio::error::operation_aborted;
}

// A refused answer whose body is short and ends where it says: reading it
// past keeps the connection for the next request.
bool discardable(const http_response_t& head) {
  try {
    if (!keeps_connection(head)) return false;
    if (chunked_body(head)) return true;
    const auto length = announced_length(head);
    return length && *length <= http_connection_t::max_discarded_body_;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

}  // namespace

http_connection_t::http_connection_t(boost::asio::io_context& service, byte_counter_t* progress)
    : service_(service), progress_(progress), timer_(service) {
  proxy_.set_type(nb::Proxy::PROXY_TYPE_NONE);
}

http_connection_t::~http_connection_t() = default;

// Wraps a member function into a completion handler that keeps the
// connection alive and drops completions of an earlier transfer.
template <class Member>
auto http_connection_t::bind(Member member) {
  return [self = shared_from_this(), transfer = transfer_, member](auto&&... args) {
    if (transfer != self->transfer_ || self->state_ == finished) return;
    self->run_step([&] { (self.get()->*member)(std::forward<decltype(args)>(args)...); });
  };
}

// A step that ends the attempt throws the code it ends with.
template <class Step>
void http_connection_t::run_step(Step step) {
  try {
    step();
  } catch (const boost::system::system_error& e) {
    end_attempt(e.code());
  }
}

void http_connection_t::request() {
  bool ended = false;
  std::exception_ptr failure;
  async_request([&](std::exception_ptr error) {
    ended = true;
    failure = error;
  });
  try {
    while (!ended) {
      boost::this_thread::interruption_point();
      if (service_.stopped()) service_.restart();
      if (service_.run_one() == 0) {
        // The loop runs dry when the worker is stopped to end an interrupted
        // attempt: that travels on as the interruption, not as a failure.
        boost::this_thread::interruption_point();
        UPD_LOG(log_error, "HTTP: the event loop ran out of work");
        end_attempt(nb::EC_UNEXPECTED_ERROR);
      }
    }
  } catch (...) {
    // Every way out, the thread's interruption included, leaves no
    // operation of this request pending.
    cancel();
    throw;
  }
  if (failure) std::rethrow_exception(failure);
}

void http_connection_t::async_request(completion_t done) {
  done_ = std::move(done);
  auth_answered_ = false;
  begin_attempt();
}

void http_connection_t::cancel() {
  done_ = nullptr;
  retry_fresh_ = false;
  state_ = finished;
  settle_connection(false);
}

void http_connection_t::begin_attempt() {
  ++transfer_;
  failure_.clear();
  state_ = tunnel_setup;
  connected_at_ = clock_type::time_point::max();
  bytes_since_connect_ = 0;
  body_left_.reset();
  chunked_.reset();
  body_limit_.reset();
  body_fault_.clear();
  reused_ = keep_open_ = discarded_ = false;
  refused_.clear();
  answer_bytes_ = 0;
  run_step([this] { start_attempt(); });
}

void http_connection_t::start_attempt() {
  const std::string& protocol = url_.protocol();
  const bool https = boost::iequals(protocol, "https");
  if (!https && !boost::iequals(protocol, "http")) {
    UPD_LOG(log_error, "Unsupported protocol " << protocol);
    finish_request(nb::EC_UNEXPECTED_ERROR);
  }
  switch (proxy_.type()) {
    case nb::Proxy::PROXY_TYPE_NONE: mode_ = https ? direct_https : direct_http; break;
    case nb::Proxy::PROXY_TYPE_HTTP: mode_ = https ? proxy_https : proxy_http; break;
    default:
      UPD_LOG(log_error, "Unsupported proxy type " << static_cast<int>(proxy_.type()));
      finish_request(nb::EC_BAD_CONFIG);
  }
  const connection_route_t target = route();
  if (open_ && target == open_route_) {
    reused_ = true;
    UPD_LOG(log_debug, "Reusing the connection to " << peer());
    connected_at_ = clock_type::now();
    return send_request();
  }
  if (open_) settle_connection(false);
  open_route_ = target;
  start_resolve();
}

void http_connection_t::end_attempt(const error_code& failure) {
  state_ = finished;
  settle_connection(keep_open_ && (!failure || discarded_));
  // A refused answer ends with its refusal, even when its body was cut.
  const error_code code = failure && refused_ ? refused_ : failure;
  if (std::exchange(retry_fresh_, false)) return begin_attempt();
  // A challenge without an answer ("" for an unknown scheme) is not repeated.
  if (code == nb::EC_PROXY_AUTH_ERROR && !proxy_authorization_.empty() && !auth_answered_) {
    auth_answered_ = true;
    return begin_attempt();
  }
  proxy_authorization_.clear();
  std::exception_ptr thrown;
  try {
    finished_signal(*this, code);
  } catch (const boost::system::system_error&) {
    thrown = std::current_exception();
  }
  if (code && !thrown) thrown = std::make_exception_ptr(boost::system::system_error(code, failure_));
  if (const completion_t done = std::exchange(done_, nullptr)) done(thrown);
}

void http_connection_t::finish_request(const error_code& code) {
  state_ = finished;
  throw boost::system::system_error(code);
}

// The reason goes to the Debug log at once and, kept, into the error the
// transfer ends with, so that callers can name it at a higher level.
void http_connection_t::note_failure(const std::string& reason) {
  UPD_LOG(log_debug, reason);
  failure_ = reason;
}

void http_connection_t::fail(const std::string& reason, const error_code& code) {
  note_failure(reason);
  finish_request(code);
}

void http_connection_t::retry_on_new_connection(const std::string& step) {
  UPD_LOG(log_debug, step << ": " << peer() << ": the kept connection was closed; sending the request on a new one");
  retry_fresh_ = true;
  finish_request(nb::EC_NETWORK_ERROR);
}

void http_connection_t::settle_connection(bool keep) {
  open_ = keep;
  error_code ignored;
  if (resolver_) resolver_->cancel();
  timer_.cancel();
  timer_waiting_ = false;
  if (keep) return;
  if (socket_ || tls_stream_) {
    tcp_socket().cancel(ignored);
    tcp_socket().close(ignored);
  }
  // Run the cancelled completions now: a TLS operation still queued when
  // its stream is replaced by the next transfer would touch freed memory.
  // They find the transfer finished and return at once.
  try {
    service_.restart();
    service_.poll();
  } catch (...) {
    // Nothing of this transfer can fail any more; the result stands.
  }
}

connection_route_t http_connection_t::route() const {
  connection_route_t target{mode_, url_.host(), std::to_string(url_.port()), "", tls_check_};
  // Requests in the clear go to the proxy whatever their URL.
  if (mode_ == proxy_http) target.host = target.service = "";
  if (mode_ == proxy_http || mode_ == proxy_https) target.proxy = proxy_.SerializeAsString();
  return target;
}

void http_connection_t::start_resolve() {
  if (mode_ == proxy_http || mode_ == proxy_https) {
    query_host_ = proxy_.host();
    query_service_ = std::to_string(proxy_.port());
  } else {
    query_host_ = url_.host();
    query_service_ = std::to_string(url_.port() != 0        ? url_.port()
                                    : mode_ == direct_https ? 443
                                                            : 80);
  }
  endpoints_ = {};
  endpoint_ = endpoints_.end();
  socket_.reset();
  tls_stream_.reset();
  tls_context_.reset();
  resolver_ = std::make_unique<tcp::resolver>(service_);
  resolver_->async_resolve(query_host_, query_service_, bind(&http_connection_t::handle_resolve));
}

void http_connection_t::handle_resolve(const error_code& error,
                                       const tcp::resolver::results_type& endpoints) {
  if (cancelled(error)) return;
  if (error) {
    fail("Cannot resolve name: " + error.message() + ": " + query_host_ + ":" + query_service_,
         nb::EC_NETWORK_ERROR);
  }
  endpoints_ = endpoints;
  endpoint_ = endpoints_.begin();
  if (uses_tls()) {
    namespace ssl = boost::asio::ssl;
    tls_context_ = std::make_unique<ssl::context>(ssl::context::sslv23_client);
    if (const error_code anchors = configure_tls_check(*tls_context_, tls_check_))
      fail("TLS trust anchors " + (tls_check_.ca_file.empty() ? "of the system" : tls_check_.ca_file) + ": " +
               anchors.message(),
           nb::EC_BAD_CONFIG);
    tls_stream_ = std::make_unique<tls_stream_t>(service_, *tls_context_);
  } else {
    socket_ = std::make_unique<tcp::socket>(service_);
  }
  start_connect();
}

void http_connection_t::start_connect() {
  tcp_socket().async_connect(*endpoint_, bind(&http_connection_t::handle_connect));
  arm_timer(&http_connection_t::handle_connect_timeout);
}

void http_connection_t::handle_connect(const error_code& error) {
  if (cancelled(error)) return;
  if (error) {
    note_failure("Connect " + peer() + ": " + error.message());
    next_endpoint_or_finish(nb::EC_NETWORK_ERROR);
    return;
  }
  UPD_LOG(log_debug, "Connected " << peer());
  connected_at_ = clock_type::now();
  arm_timer(&http_connection_t::handle_io_timeout);
  switch (mode_) {
    case direct_https: start_handshake(); break;
    case proxy_https:
      parser_.reset();
      request_text_ = build_request("CONNECT");
      start_write(true);
      break;
    default: send_request(); break;
  }
}

void http_connection_t::handle_connect_timeout() {
  note_failure("Cannot connect " + peer() + ": Timed out");
  next_endpoint_or_finish(nb::EC_NETWORK_TIMEDOUT);
}

void http_connection_t::next_endpoint_or_finish(nb::ErrorCode code) {
  close_socket();
  if (++endpoint_ == endpoints_.end()) finish_request(code);
  start_connect();
}

void http_connection_t::start_handshake() {
  // Front ends that serve several names on one address choose the
  // certificate, and often the site, by the name in the ClientHello; an
  // address literal names nothing. The name has resolved, so it is short
  // enough to be sent.
  SSL* tls = tls_stream_->native_handle();
  boost::system::error_code not_an_address;
  boost::asio::ip::make_address(url_.host(), not_an_address);
  if (not_an_address) SSL_set_tlsext_host_name(tls, url_.host().c_str());
  if (tls_check_.verify && !expect_tls_host(tls, url_.host()))
    fail("SSL handshake: " + peer() + ": cannot check the certificate for " + url_.host(), nb::EC_NETWORK_ERROR);
  tls_stream_->async_handshake(boost::asio::ssl::stream_base::client,
                               bind(&http_connection_t::handle_handshake));
}

void http_connection_t::handle_handshake(const error_code& error) {
  if (cancelled(error)) return;
  if (error) {
    // The library's own message says only "certificate verify failed".
    const std::string refusal = tls_check_.verify ? tls_verify_failure(tls_stream_->native_handle()) : "";
    fail("SSL handshake: " + peer() + ": " + error.message() + (refusal.empty() ? "" : ": " + refusal),
         nb::EC_NETWORK_ERROR);
  }
  send_request();
}

void http_connection_t::send_request() {
  arm_timer(&http_connection_t::handle_io_timeout);
  parser_.reset();
  request_text_ = build_request(method_);
  start_write(false);
}

// tunnel: the CONNECT request, written in clear under the TLS stream.
void http_connection_t::start_write(bool tunnel) {
  writing_connect_ = tunnel;
  const auto buffer = boost::asio::buffer(request_text_);
  if (uses_tls() && !tunnel)
    boost::asio::async_write(*tls_stream_, buffer, bind(&http_connection_t::handle_write));
  else
    boost::asio::async_write(tcp_socket(), buffer, bind(&http_connection_t::handle_write));
}

void http_connection_t::handle_write(const error_code& error, std::size_t bytes) {
  if (cancelled(error)) return;
  progress_->add_bytes_sent(static_cast<std::uint32_t>(bytes));
  if (error && reused_) retry_on_new_connection("Send HTTP request");
  if (error) {
    fail((writing_connect_ ? "Send HTTP CONNECT: " : "Send HTTP request: ") + peer() + ": " + error.message(),
         nb::EC_NETWORK_ERROR);
  }
  request_text_.clear();
  // The answer to CONNECT is read while the tunnel is still being set up.
  if (!writing_connect_) state_ = awaiting_head;
  start_read();
}

void http_connection_t::start_read() {
  arm_timer(&http_connection_t::handle_io_timeout);
  read_buffer_.resize(read_buffer_size);
  const auto buffer = boost::asio::buffer(read_buffer_);
  const bool in_tunnel_setup = mode_ == proxy_https && state_ == tunnel_setup;
  if (uses_tls() && !in_tunnel_setup)
    tls_stream_->async_read_some(buffer, bind(&http_connection_t::handle_read));
  else
    tcp_socket().async_read_some(buffer, bind(&http_connection_t::handle_read));
}

void http_connection_t::handle_read(const error_code& error, std::size_t bytes) {
  if (cancelled(error)) return;
  progress_->add_bytes_received(static_cast<std::uint32_t>(bytes));
  bytes_since_connect_ += bytes;
  if (state_ == awaiting_head) answer_bytes_ += bytes;
  if (reused_ && state_ == awaiting_head && answer_bytes_ == 0 && (error || bytes == 0))
    retry_on_new_connection("Read HTTP");
  // Without a length the body ends when the server closes the connection.
  // Over TLS that takes the peer's TLS closure; a bare TCP close is a
  // short-read error.
  if (state_ == reading_body && bytes == 0 && (!error || error == boost::asio::error::eof)) {
    if (chunked_) fail("Read HTTP: " + peer() + ": End of file inside the chunked body", nb::EC_NETWORK_ERROR);
    if (!body_left_) finish_request(nb::EC_OK);
    fail("Read HTTP: " + peer() + ": End of file " + std::to_string(*body_left_) +
             " bytes before the announced end",
         nb::EC_NETWORK_ERROR);
  }
  if (error || bytes == 0) {
    const error_code reason = error ? error : error_code(boost::asio::error::eof);
    fail("Read HTTP: " + peer() + ": " + reason.message(), nb::EC_NETWORK_ERROR);
  }
  read_buffer_.resize(bytes);
  if (state_ == reading_body) return deliver_body();

  std::size_t consumed = 0;
  const auto result = parser_.parse(read_buffer_.data(), read_buffer_.size(), consumed);
  read_buffer_.erase(read_buffer_.begin(),
                     read_buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
  if (result == http_response_parser_t::parse_bad) {
    fail("Read HTTP: " + peer() + ": Bad HTTP response header", nb::EC_NETWORK_ERROR);
  }
  if (result == http_response_parser_t::parse_more) return start_read();

  error_code head_error;
  on_response_header(parser_.response(), head_error);
  if (head_error && (state_ == tunnel_setup || !discardable(parser_.response()))) finish_request(head_error);
  if (state_ == tunnel_setup) {
    // Bytes after the proxy's answer would be the server's: there are none
    // before the handshake starts.
    start_handshake();
    arm_timer(&http_connection_t::handle_io_timeout);
    return;
  }
  state_ = reading_body;
  refused_ = head_error;
  if (refused_) body_limit_ = max_discarded_body_;
  try {
    // A 204 or 304 answer ends with its head, whatever it announces; a
    // chunked body's Content-Length, if any, is not its length.
    const int status = parser_.response().status;
    if (status == 204 || status == 304)
      body_left_ = 0;
    else if (chunked_body(parser_.response()))
      chunked_.emplace(body_limit_);
    else
      body_left_ = announced_length(parser_.response());
  } catch (const std::invalid_argument& e) {
    fail("Read HTTP: " + peer() + ": " + e.what(), nb::EC_NETWORK_ERROR);
  }
  // A body that ends at the close leaves nothing to reuse.
  keep_open_ = (chunked_ || body_left_) && keeps_connection(parser_.response());
  deliver_body();
}

// Bytes beyond an announced length or the last chunk are not the body's:
// they are dropped.
void http_connection_t::deliver_body() {
  bool last_chunk = false;
  if (chunked_) {
    std::vector<char> data;
    const auto result = chunked_->decode(read_buffer_.data(), read_buffer_.size(), data);
    if (result == chunked_decoder_t::decode_bad) {
      // Nothing of a refused answer was kept: it ends as refused.
      if (refused_) finish_request(refused_);
      body_fault_ = chunked_->fault();
      fail("Read HTTP: " + peer() + ": " + body_fault_, nb::EC_NETWORK_ERROR);
    }
    last_chunk = result == chunked_decoder_t::decode_done;
    read_buffer_.swap(data);
  }
  if (body_left_ && read_buffer_.size() > *body_left_) {
    // Unasked bytes after the body: the connection is in no known state.
    keep_open_ = false;
    read_buffer_.resize(*body_left_);
  }
  if (!read_buffer_.empty() && !refused_) {
    error_code data_error;
    data_signal(*this, read_buffer_, data_error);
    if (data_error) finish_request(data_error);
  }
  if (body_left_) *body_left_ -= read_buffer_.size();
  if (last_chunk || body_left_ == 0u) {
    discarded_ = bool(refused_);
    finish_request(refused_ ? refused_ : error_code(nb::EC_OK));
  }
  start_read();
}

void http_connection_t::on_response_header(const http_response_t& head, error_code& error) {
  if (head.status == 407) {
    // Without credentials a repeated request could only send empty ones.
    if (proxy_.user().empty() && proxy_.password().empty())
      fail("Proxy " + proxy_name() + " demands credentials and none are configured", nb::EC_PROXY_AUTH_ERROR);
    proxy_authorization_ =
        make_proxy_authorization(request_, head, proxy_.user(), proxy_.password());
    error = nb::EC_PROXY_AUTH_ERROR;
    return;
  }
  // Only a 2xx opens the tunnel: what a refusing proxy sends instead is its
  // own page, not the server's handshake.
  if (state_ == tunnel_setup && (head.status < 200 || head.status > 299))
    fail("Proxy " + proxy_name() + " refused CONNECT " + request_.uri + ": " + std::to_string(head.status) + " " +
             printable(head.reason.substr(0, 80)),
         nb::EC_NETWORK_ERROR);
  if (state_ == awaiting_head) header_signal(*this, head, error);
}

void http_connection_t::handle_io_timeout() {
  if (clock_type::now() >= rate_deadline())
    fail("IO with " + peer() + ": Slower than " + std::to_string(min_average_rate_) + " bytes/s on average",
         nb::EC_NETWORK_TIMEDOUT);
  fail("IO with " + peer() + ": Timed out", nb::EC_NETWORK_TIMEDOUT);
}

// Each byte received buys 1/min_average_rate_ of a second beyond the grace
// period, so the bound grows with an honest transfer and costs a slow
// server no more than the time its bytes would take at the floor rate.
http_connection_t::clock_type::time_point http_connection_t::rate_deadline() const {
  if (connected_at_ == clock_type::time_point::max()) return connected_at_;
  constexpr std::uint64_t ns_per_byte = 1'000'000'000 / min_average_rate_;
  return connected_at_ + rate_grace_timeouts_ * timeout_ +
         std::chrono::nanoseconds(bytes_since_connect_ * ns_per_byte);
}

// Every step moves the deadline; the one pending wait is left alone, and
// when it ends before the deadline it simply waits again. So a step costs
// no timer system call, and an expiry queued behind the step that moved
// the deadline cannot end a healthy transfer.
void http_connection_t::arm_timer(void (http_connection_t::*handler)()) {
  deadline_ = std::min(clock_type::now() + timeout_, rate_deadline());
  timeout_handler_ = handler;
  if (!timer_waiting_) wait_for_deadline();
}

void http_connection_t::wait_for_deadline() {
  timer_waiting_ = true;
  timer_.expires_at(deadline_);
  timer_.async_wait(bind(&http_connection_t::handle_timer));
}

void http_connection_t::handle_timer(const error_code& error) {
  timer_waiting_ = false;
  if (cancelled(error)) return;
  if (error) throw boost::system::system_error(error, "Network timer");
  if (deadline_ > clock_type::now()) return wait_for_deadline();
  (this->*timeout_handler_)();
}

void http_connection_t::close_socket() {
  // A socket whose connect failed is not connected and its shutdown fails;
  // the next address is tried all the same.
  error_code ignored;
  tcp_socket().shutdown(tcp::socket::shutdown_both, ignored);
  tcp_socket().close(ignored);
}

std::string http_connection_t::build_request(const std::string& method) {
  const bool connect = method == "CONNECT";
  std::string host = url_.host();
  if (url_.port() != 0)
    host += ":" + std::to_string(url_.port());
  else if (connect)
    host += ":443";

  http_headers_t headers;
  headers.add("Host", host);
  if (!connect) headers.append(headers_);
  // The proxy's credentials are for the proxy: inside a tunnel they would
  // travel on to the update server.
  const bool to_proxy = connect || mode_ == proxy_http;
  if (to_proxy && !proxy_authorization_.empty()) headers.add("Proxy-Authorization", proxy_authorization_);

  // A proxy needs the whole URL to know where to go; an origin server,
  // asked directly or through a tunnel, knows only its own paths, and
  // simple ones answer a whole URL with 404 or 400.
  const std::string target = connect ? host : mode_ == proxy_http ? url_.to_string() : "/" + url_.path();
  request_ = http_request_t{target, method, {}, headers};
  return request_.to_string();
}

http_connection_t::tcp::socket& http_connection_t::tcp_socket() {
  return tls_stream_ ? tls_stream_->next_layer() : *socket_;
}

std::string http_connection_t::proxy_name() const { return proxy_.host() + ":" + std::to_string(proxy_.port()); }

std::string http_connection_t::peer() const {
  std::ostringstream text;
  text << query_host_ << ":" << query_service_ << " [";
  if (endpoint_ != endpoints_.end())
    text << endpoint_->endpoint().address().to_string() << ":" << endpoint_->endpoint().port();
  text << "]";
  return text.str();
}

}  // namespace upd
