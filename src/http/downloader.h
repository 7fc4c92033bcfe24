// Fetches one resource by GET into memory or into a file, for the update
// engine. Owns one connection object for every transfer of an update
// attempt, which keeps its connection open from one request to the next
// where it may (connection_reuse.h); the header list, proxy, timeout and TLS
// check persist between transfers. Only status 200 is accepted, 206 for the
// rest of a file being resumed, and 304 for a memory download asked
// conditionally; no redirects, no retries here (the proxy answer inside the
// connection aside). A transfer completes or throws a system error carrying
// its code.
//
// Bodies are bounded: a memory download stops with EC_NETWORK_ERROR beyond
// memory_limit_ bytes, a file download beyond the limit its caller passes,
// so a hostile server cannot exhaust memory or disk.
//
// Single-threaded: used only by the thread that runs the update attempt,
// which also runs every signal and the event loop; several downloaders may
// share the loop, each with a transfer of its own in flight (resume_async),
// and the loop runs them all while any of them waits (download, resume).
// The byte counter must outlive the downloader.
#pragma once

#include <boost/filesystem/path.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "common/http_validators.h"
#include "common/unique_fd.h"
#include "http/http_message.h"
#include "http/tls_check.h"
#include "http/url.h"
#include "proxy.pb.h"

namespace boost::asio {
class io_context;
}

namespace upd {

class http_connection_t;
class byte_counter_t;

class downloader_t {
 public:
  using error_code = boost::system::error_code;
  // The failure a transfer ended with, null on success.
  using completion_t = std::function<void(std::exception_ptr)>;
  static constexpr std::uint64_t memory_limit_ = 64 * 1024 * 1024;
  // A file download writes the body in pieces of at most this size.
  static constexpr std::size_t file_write_size_ = 64 * 1024;

  boost::signals2::signal<void(downloader_t&, const std::vector<char>&, error_code&)> data_signal;
  boost::signals2::signal<void(downloader_t&, const error_code&)> finished_signal;

  downloader_t(boost::asio::io_context& service, byte_counter_t* progress);
  downloader_t(const downloader_t&) = delete;
  downloader_t& operator=(const downloader_t&) = delete;
  virtual ~downloader_t();

  // A downloader on the same loop and byte counter with the same settings
  // and a connection of its own.
  std::unique_ptr<downloader_t> sibling() const;
  // The event loop its transfers run on.
  boost::asio::io_context& service() const { return service_; }

  // The list becomes headers followed by "Accept: */*".
  void set_headers(const http_headers_t& headers);
  void set_proxy(const nb::Proxy& proxy);
  void set_timeout(std::chrono::milliseconds timeout);
  void set_tls_check(const tls_check_t& check);

  // The body replaces body's content; on failure body is left empty.
  void download(const url_t& url, std::vector<char>& body, std::uint64_t limit = memory_limit_);
  // As above, but asks whether the resource changed since the answer that
  // gave `kept` (If-None-Match, If-Modified-Since): a 304 then completes the
  // transfer with an empty body and not_modified(). Without validators the
  // request is the plain one.
  void download_if_changed(const url_t& url, std::vector<char>& body, const http_validators_t& kept,
                           std::uint64_t limit = memory_limit_);
  // The body goes to a new file at path with mode 0600, replacing whatever
  // stood there (see create_file in common/safe_file.h), gathered into
  // writes of up to file_write_size_ bytes; a failure leaves what had
  // arrived, unless the body's chunked framing was malformed; a failure
  // that leaves the file empty removes it. A body beyond
  // limit bytes fails the transfer. A path that cannot be created throws a
  // filesystem error ("open") before any I/O.
  void download(const url_t& url, const boost::filesystem::path& path,
                std::optional<std::uint64_t> limit = {});
  // Continues the file at path, which holds the beginning of the body: for
  // N bytes asks for "Range: bytes=N-" and appends a 206 whose range starts
  // at N; a 200 (a server that ignores ranges) replaces the content; any
  // other answer fails and leaves the file. The validator of the answer the
  // file began with (range_validator.h) goes with the range as If-Range.
  // What stands at the name and is not a plain file of at most limit bytes
  // is replaced, and the whole body fetched. The limit counts the bytes the
  // file had.
  void resume(const url_t& url, const boost::filesystem::path& path,
              std::optional<std::uint64_t> limit = {});
  // resume() on the event loop: returns once the request is on its way (or
  // throws when the file cannot be opened) and calls done on the loop when
  // the transfer has ended, with what resume() would have thrown. The
  // accessors below describe it from then on.
  void resume_async(const url_t& url, const boost::filesystem::path& path, std::optional<std::uint64_t> limit,
                    completion_t done);
  // Ends a transfer in flight without calling its completion; what it
  // wrote stays in its file.
  void cancel();

  // Body bytes of the current or last transfer since its accepted head.
  std::uint64_t bytes_received() const { return body_bytes_; }
  // Where that body begins in the whole: the start of an accepted 206, else 0.
  std::uint64_t body_offset() const { return body_offset_; }
  // The status of the current or last transfer's answer; 0 before one came.
  int last_status() const { return status_; }
  // The last transfer was answered 304 to a conditional request.
  bool not_modified() const { return status_ == 304 && accepted_; }
  // The validators of the last transfer's answer.
  const http_validators_t& validators() const { return validators_; }
  // The Retry-After of the last answer when it was 429 or 503 ("" when it
  // had none), bounded and printable; what it means is its reader's call.
  const std::string& retry_after() const { return retry_after_; }
  // The last transfer failed on the network (reset, cut, time-out) after its
  // body had begun: what it wrote is a beginning that resume() can continue.
  bool broken_off() const { return broken_off_; }
  // The last transfer's range was refused as unsatisfiable (416) or answered
  // with another part (206): the file's beginning is no use for this URL.
  bool range_refused() const { return range_refused_; }
  // The last transfer asked for a range and was answered with the whole
  // body (200): its server does not resume.
  bool range_ignored() const { return range_ignored_; }

 protected:
  virtual void on_data(const std::vector<char>& chunk, error_code& error);
  virtual void on_finished(const error_code& error);

 private:
  // Runs a file download on fd, a file of offset bytes to be continued;
  // on the loop when done is set.
  void to_file(const url_t& url, const boost::filesystem::path& path, unique_fd_t fd, std::uint64_t offset,
               std::optional<std::uint64_t> limit, completion_t done = nullptr);
  // The file at path and its size, to be continued from there.
  std::pair<unique_fd_t, std::uint64_t> reopen_for_resume(const url_t& url, const boost::filesystem::path& path,
                                                          std::optional<std::uint64_t> limit);
  void run(const url_t& url, std::optional<std::uint64_t> limit);
  void prepare(const url_t& url, std::optional<std::uint64_t> limit, std::uint64_t offset);
  // The failure with the refusal's text, when the answer was refused.
  std::exception_ptr named(std::exception_ptr failure) const;
  // The file download's end: its last bytes written, or its empty file removed.
  void close_file(std::exception_ptr failure);
  void flush_file();
  // Cuts the file of the current download to a size.
  void truncate_file(std::uint64_t size);
  void accept_body(std::uint64_t offset);
  void response_header_received(const http_response_t& head, error_code& error);
  void response_data_received(const std::vector<char>& chunk, error_code& error);
  void response_finished(const error_code& error);

  boost::asio::io_context& service_;
  byte_counter_t* progress_;
  std::shared_ptr<http_connection_t> connection_;
  http_headers_t user_headers_;
  http_headers_t headers_;
  nb::Proxy proxy_;
  std::chrono::milliseconds timeout_{0};
  tls_check_t tls_check_;
  std::uint64_t body_bytes_ = 0;
  std::uint64_t body_offset_ = 0;
  std::uint64_t range_from_ = 0;  // what the current transfer asked for; 0: no range
  int status_ = 0;
  bool accepted_ = false;  // the current transfer's head
  bool broken_off_ = false;
  bool range_refused_ = false;
  bool range_ignored_ = false;
  std::optional<std::uint64_t> body_limit_;  // of the current transfer
  boost::filesystem::path validated_file_;  // of the current file download
  std::string if_range_;                    // the validator the current transfer sends
  http_validators_t conditions_;            // what the current transfer asks to have changed since
  http_validators_t validators_;            // of the last answer
  std::string retry_after_;                 // of the last 429 or 503
  std::string refusal_;  // why the current transfer's answer was refused, if it was
  // The current file download: its file and what waits to be written.
  unique_fd_t file_;
  std::vector<char> pending_;
  boost::signals2::scoped_connection file_sink_;
  boost::signals2::scoped_connection slots_[3];
};

}  // namespace upd
