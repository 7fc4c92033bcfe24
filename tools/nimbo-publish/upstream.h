// The repository a mirror copies, reached through the component's own HTTP
// stack, so that proxies and their authentication work as they do for the
// clients. A 404 is an answer here (upstream lacks the file); any other
// failure throws std::runtime_error "URL: REASON", where a body past its
// limit is a "size mismatch", and a 429 or 503 with Retry-After names the
// time upstream asked to be left alone until. One thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/progress_counters.h"
#include "common/zone_item.h"
#include "http/downloader.h"
#include "proxy.pb.h"

namespace upd::publish {

class upstream_t {
 public:
  // base: the repository's URL, the folder holding "version.lst".
  upstream_t(std::string base, const nb::Proxy& proxy, const tls_check_t& tls_check);

  // The file's bytes, at most limit of them; nothing on a 404. With the
  // mirror's copy and the validators it came with, asks whether it changed,
  // and gives back that copy when it did not.
  std::optional<std::string> fetch(const std::string& name, std::uint64_t limit,
                                   const kept_body_t* held = nullptr);
  // The validators of the last fetch's answer (the held copy's on a 304
  // that sends none).
  const http_validators_t& validators() const { return validators_; }
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
  http_validators_t validators_;
  boost::asio::io_context loop_;
  uncounted_t uncounted_;
  downloader_t downloader_{loop_, &uncounted_};
};

}  // namespace upd::publish
