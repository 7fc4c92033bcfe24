#include "upstream.h"

#include <boost/system/system_error.hpp>
#include <stdexcept>
#include <utility>
#include <vector>

namespace upd::publish {

upstream_t::upstream_t(std::string base, const nb::Proxy& proxy, const tls_check_t& tls_check)
    : base_(std::move(base)) {
  downloader_.set_proxy(proxy);
  downloader_.set_tls_check(tls_check);
}

template <typename Transfer>
bool upstream_t::found(const std::string& name, std::uint64_t limit, const Transfer& transfer) {
  const url_t url(base_, name);
  try {
    transfer(url);
    return true;
  } catch (const boost::system::system_error& e) {
    if (downloader_.last_status() == 404) return false;
    // A file that grew upstream since its list was made is no network fault.
    if (downloader_.body_offset() + downloader_.bytes_received() > limit)
      throw std::runtime_error(url.to_string() + ": size mismatch: more than " + std::to_string(limit) + " bytes");
    throw std::runtime_error(url.to_string() + ": " + e.what());
  }
}

std::optional<std::string> upstream_t::fetch(const std::string& name, std::uint64_t limit) {
  std::vector<char> body;
  if (!found(name, limit, [&](const url_t& url) { downloader_.download(url, body, limit); }))
    return std::nullopt;
  return std::string(body.begin(), body.end());
}

bool upstream_t::fetch_to(const std::string& name, const std::filesystem::path& path,
                          std::uint64_t limit) {
  return found(name, limit, [&](const url_t& url) { downloader_.download(url, path.string(), limit); });
}

}  // namespace upd::publish
