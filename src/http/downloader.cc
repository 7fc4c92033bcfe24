#include "http/downloader.h"

#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include "common/error.h"
#include "common/fd_io.h"
#include "common/log.h"
#include "common/printable.h"
#include "common/safe_file.h"
#include "http/body_extent.h"
#include "http/cache_validators.h"
#include "http/http_connection.h"
#include "http/range_validator.h"

namespace upd {
namespace {

// The staged file is made anew: a link, a second hard link or a FIFO left at
// its name is replaced rather than written through or waited on.
unique_fd_t open_target(const boost::filesystem::path& path) {
  try {
    return create_file(path, 0600);
  } catch (const boost::system::system_error& e) {
    throw boost::filesystem::filesystem_error("open", path, e.code());
  }
}

// The beginning of a body left at path and its size. Only a plain file of
// ours within the bound is continued; anything else there is replaced.
std::pair<unique_fd_t, std::uint64_t> reopen_target(const boost::filesystem::path& path,
                                                    std::optional<std::uint64_t> limit) {
  try {
    unique_fd_t fd = open_to_append(path, 0600);
    const off_t size = ::lseek(fd.get(), 0, SEEK_END);
    if (size >= 0 && (!limit || static_cast<std::uint64_t>(size) <= *limit))
      return {std::move(fd), static_cast<std::uint64_t>(size)};
  } catch (const boost::system::system_error&) {
  }
  return {open_target(path), 0};
}

}  // namespace

downloader_t::downloader_t(boost::asio::io_context& service, byte_counter_t* progress)
    : service_(service), progress_(progress), connection_(std::make_shared<http_connection_t>(service, progress)) {
  slots_[0] = connection_->header_signal.connect(
      [this](http_connection_t&, const http_response_t& head, error_code& error) {
        response_header_received(head, error);
      });
  slots_[1] = connection_->data_signal.connect(
      [this](http_connection_t&, const std::vector<char>& chunk, error_code& error) {
        response_data_received(chunk, error);
      });
  slots_[2] = connection_->finished_signal.connect(
      [this](http_connection_t&, const error_code& error) { response_finished(error); });
  set_headers({});
  connection_->set_method("GET");
  proxy_.set_type(nb::Proxy::PROXY_TYPE_NONE);
}

// A transfer still in flight would call back into a downloader gone.
downloader_t::~downloader_t() { connection_->cancel(); }

std::unique_ptr<downloader_t> downloader_t::sibling() const {
  auto other = std::make_unique<downloader_t>(service_, progress_);
  other->set_headers(user_headers_);
  other->set_proxy(proxy_);
  other->set_tls_check(tls_check_);
  if (timeout_.count() > 0) other->set_timeout(timeout_);
  return other;
}

void downloader_t::set_headers(const http_headers_t& headers) {
  user_headers_ = headers_ = headers;
  headers_.add("Accept", "*/*");
}

void downloader_t::set_proxy(const nb::Proxy& proxy) {
  proxy_ = proxy;
  connection_->set_proxy(proxy);
}

void downloader_t::set_tls_check(const tls_check_t& check) {
  tls_check_ = check;
  connection_->set_tls_check(check);
}

void downloader_t::set_timeout(std::chrono::milliseconds timeout) {
  timeout_ = timeout;
  connection_->set_timeout(timeout);
}

void downloader_t::download(const url_t& url, std::vector<char>& body, std::uint64_t limit) {
  body.clear();
  boost::signals2::scoped_connection sink =
      data_signal.connect([&body](downloader_t&, const std::vector<char>& chunk, error_code&) {
        body.insert(body.end(), chunk.begin(), chunk.end());
      });
  try {
    run(url, limit);
  } catch (...) {
    body.clear();
    throw;
  }
}

void downloader_t::download_if_changed(const url_t& url, std::vector<char>& body,
                                       const http_validators_t& kept, std::uint64_t limit) {
  conditions_ = kept;
  try {
    download(url, body, limit);
  } catch (...) {
    conditions_ = {};
    throw;
  }
  conditions_ = {};
}

void downloader_t::download(const url_t& url, const boost::filesystem::path& path,
                            std::optional<std::uint64_t> limit) {
  to_file(url, path, open_target(path), 0, limit);
}

void downloader_t::resume(const url_t& url, const boost::filesystem::path& path,
                          std::optional<std::uint64_t> limit) {
  auto [fd, size] = reopen_for_resume(url, path, limit);
  to_file(url, path, std::move(fd), size, limit);
}

void downloader_t::resume_async(const url_t& url, const boost::filesystem::path& path,
                                std::optional<std::uint64_t> limit, completion_t done) {
  auto [fd, size] = reopen_for_resume(url, path, limit);
  to_file(url, path, std::move(fd), size, limit, std::move(done));
}

void downloader_t::cancel() {
  connection_->cancel();
  file_sink_.disconnect();
  file_ = unique_fd_t();
  validated_file_.clear();
  if_range_.clear();
}

std::pair<unique_fd_t, std::uint64_t> downloader_t::reopen_for_resume(const url_t& url,
                                                                      const boost::filesystem::path& path,
                                                                      std::optional<std::uint64_t> limit) {
  auto [fd, size] = reopen_target(path, limit);
  if (size > 0) UPD_LOG(log_debug, "Resuming " << url.to_string() << " at " << size << " bytes");
  if (size > 0) if_range_ = load_range_validator(path);
  return {std::move(fd), size};
}

void downloader_t::to_file(const url_t& url, const boost::filesystem::path& path, unique_fd_t fd,
                           std::uint64_t offset, std::optional<std::uint64_t> limit, completion_t done) {
  // Chunks are gathered into few large writes: a write per 4096-byte read
  // would cost more than the transfer itself.
  file_ = std::move(fd);
  pending_.clear();
  pending_.reserve(file_write_size_);
  file_sink_ = data_signal.connect([this](downloader_t&, const std::vector<char>& chunk, error_code&) {
    if (pending_.size() + chunk.size() > file_write_size_) flush_file();
    pending_.insert(pending_.end(), chunk.begin(), chunk.end());
  });
  validated_file_ = path;
  prepare(url, limit, offset);
  if (done) {
    connection_->async_request([this, done = std::move(done)](std::exception_ptr failure) {
      try {
        close_file(named(failure));
      } catch (...) {
        return done(std::current_exception());
      }
      done(nullptr);
    });
    return;
  }
  std::exception_ptr failure;
  try {
    connection_->request();
  } catch (...) {
    failure = std::current_exception();
  }
  close_file(named(failure));
}

void downloader_t::close_file(std::exception_ptr failure) {
  const unique_fd_t fd = std::move(file_);
  file_sink_.disconnect();
  const boost::filesystem::path path = std::exchange(validated_file_, {});
  if_range_.clear();
  if (!failure) {
    // A whole file needs no validator any more.
    store_range_validator(path, "");
    return;
  }
  // What arrived before the failure still goes to the file; a failing
  // write here would only repeat the failure being reported.
  try {
    write_all(fd.get(), pending_.data(), pending_.size());
  } catch (const boost::system::system_error&) {
  }
  pending_.clear();
  // An empty file is no beginning to continue: a refused file leaves none.
  if (::lseek(fd.get(), 0, SEEK_END) == 0) {
    boost::system::error_code ignored;
    boost::filesystem::remove(path, ignored);
    store_range_validator(path, "");
  }
  std::rethrow_exception(failure);
}

void downloader_t::flush_file() {
  write_all(file_.get(), pending_.data(), pending_.size());
  pending_.clear();
}

// The file is opened to append: once cut, writes start at its new end.
void downloader_t::truncate_file(std::uint64_t size) {
  pending_.clear();
  if (::ftruncate(file_.get(), static_cast<off_t>(size)) != 0) throw errno_error(errno, "ftruncate");
}

void downloader_t::run(const url_t& url, std::optional<std::uint64_t> limit) {
  prepare(url, limit, 0);
  try {
    connection_->request();
  } catch (...) {
    std::rethrow_exception(named(std::current_exception()));
  }
}

void downloader_t::prepare(const url_t& url, std::optional<std::uint64_t> limit, std::uint64_t offset) {
  body_limit_ = limit;
  refusal_.clear();
  status_ = 0;
  body_bytes_ = body_offset_ = 0;
  validators_ = {};
  retry_after_.clear();
  range_from_ = offset;
  accepted_ = broken_off_ = range_refused_ = range_ignored_ = false;
  http_headers_t headers = headers_;
  if (offset > 0) headers.add("Range", "bytes=" + std::to_string(offset) + "-");
  if (offset > 0 && !if_range_.empty()) headers.add("If-Range", if_range_);
  if (!conditions_.etag.empty()) headers.add("If-None-Match", conditions_.etag);
  if (!conditions_.last_modified.empty()) headers.add("If-Modified-Since", conditions_.last_modified);
  connection_->set_headers(headers);
  connection_->set_url(url);
}

// "Network error" alone would not say that the server answered 404.
std::exception_ptr downloader_t::named(std::exception_ptr failure) const {
  if (!failure || refusal_.empty()) return failure;
  try {
    std::rethrow_exception(failure);
  } catch (const boost::system::system_error& e) {
    return std::make_exception_ptr(boost::system::system_error(e.code(), refusal_));
  } catch (...) {
    return failure;
  }
}

void downloader_t::accept_body(std::uint64_t offset) {
  accepted_ = true;
  body_offset_ = offset;
  body_bytes_ = 0;
  if (body_limit_) connection_->set_body_limit(*body_limit_ - offset);
}

void downloader_t::response_header_received(const http_response_t& head, error_code& error) {
  error.clear();
  status_ = head.status;
  validators_ = answer_validators(head);
  retry_after_ = head.status == 429 || head.status == 503 ? printable_header(head, "Retry-After") : "";
  // Only a conditional request may be told that nothing changed; such an
  // answer has no body.
  if (head.status == 304 && !conditions_.empty()) {
    body_limit_ = 0;
    return accept_body(0);
  }
  if (head.status == 200) {
    // A server that ignores the range sends the whole body: it replaces
    // the beginning the file had.
    range_ignored_ = range_from_ > 0;
    if (range_ignored_ && file_) truncate_file(0);
    // The file now begins this body: its validator is the one to send back.
    if (!validated_file_.empty()) store_range_validator(validated_file_, range_validator(head));
    return accept_body(0);
  }
  if (head.status == 206 && range_from_ > 0 && range_start(head) == range_from_) return accept_body(range_from_);
  range_refused_ = range_from_ > 0 && (head.status == 206 || head.status == 416);
  UPD_LOG(log_debug, "HTTP error " << head.status << " " << printable(head.reason));
  // The reason is the server's text: a short piece is enough for the log.
  refusal_ = "HTTP " + std::to_string(head.status) + " " + printable(head.reason.substr(0, 80));
  error = nb::EC_NETWORK_ERROR;
}

void downloader_t::response_data_received(const std::vector<char>& chunk, error_code& error) {
  body_bytes_ += chunk.size();
  if (body_limit_ && body_offset_ + body_bytes_ > *body_limit_) {
    refusal_ = "HTTP body exceeds the limit of " + std::to_string(*body_limit_) + " bytes";
    UPD_LOG(log_debug, refusal_);
    error = nb::EC_NETWORK_ERROR;
    return;
  }
  on_data(chunk, error);
}

// A file download writes its last bytes before anyone hears of its success,
// so that a failing write is the outcome both reported and thrown.
void downloader_t::response_finished(const error_code& error) {
  // Malformed framing makes every byte of the body suspect: none is kept,
  // and nothing is left to continue.
  if (error && !connection_->body_fault().empty()) {
    refusal_ = connection_->body_fault();
    try {
      if (file_) truncate_file(body_offset_);
    } catch (const boost::system::system_error&) {
      // The transfer fails all the same, and the digest judges what stays.
    }
  }
  broken_off_ = error && accepted_ && refusal_.empty() &&
                (error == nb::EC_NETWORK_ERROR || error == nb::EC_NETWORK_TIMEDOUT);
  if (!error && file_) {
    try {
      flush_file();
    } catch (const boost::system::system_error& e) {
      on_finished(e.code());
      throw;
    }
  }
  on_finished(error);
}

void downloader_t::on_data(const std::vector<char>& chunk, error_code& error) {
  data_signal(*this, chunk, error);
}

void downloader_t::on_finished(const error_code& error) { finished_signal(*this, error); }

}  // namespace upd
