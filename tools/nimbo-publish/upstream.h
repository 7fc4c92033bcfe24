// The repository a mirror copies, reached through the component's own HTTP
// stack, so that proxies and their authentication work as they do for the
// clients. A 404 is an answer here (upstream lacks the file); any other
// failure throws std::runtime_error "URL: REASON", where a body past its
// limit is a "size mismatch". One thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/progress_counters.h"
#include "http/downloader.h"
#include "proxy.pb.h"

namespace upd::publish {

class upstream_t {
 public:
  // base: the repository's URL, the folder holding "version.lst".
  upstream_t(std::string base, const nb::Proxy& proxy, const tls_check_t& tls_check);

  // The file's bytes, at most limit of them; nothing on a 404.
  std::optional<std::string> fetch(const std::string& name, std::uint64_t limit);
  // Writes the file to a new file at path, at most limit bytes; false on a 404.
  bool fetch_to(const std::string& name, const std::filesystem::path& path, std::uint64_t limit);

 private:
  // Nobody watches a mirror's byte counts.
  struct uncounted_t final : byte_counter_t {
    void add_bytes_sent(std::uint32_t) override {}
    void add_bytes_received(std::uint32_t) override {}
  };

  template <typename Transfer>
  bool found(const std::string& name, std::uint64_t limit, const Transfer& transfer);

  std::string base_;
  boost::asio::io_context loop_;
  uncounted_t uncounted_;
  downloader_t downloader_{loop_, &uncounted_};
};

}  // namespace upd::publish
