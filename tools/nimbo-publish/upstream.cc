#include "upstream.h"

#include <boost/system/system_error.hpp>
#include <ctime>
#include <stdexcept>
#include <utility>
#include <vector>

#include "formats/list_signature.h"
#include "update/kept_lists.h"
#include "update/server_waits.h"

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
    if (const auto until = retry_after_time(downloader_.retry_after(), std::time(nullptr)))
      throw std::runtime_error(url.to_string() + ": " + e.what() + "; upstream asks not to be asked before " +
                               format_utc_time(*until));
    // A file that grew upstream since its list was made is no network fault.
    if (downloader_.body_offset() + downloader_.bytes_received() > limit)
      throw std::runtime_error(url.to_string() + ": size mismatch: more than " + std::to_string(limit) + " bytes");
    throw std::runtime_error(url.to_string() + ": " + e.what());
  }
}

std::optional<std::string> upstream_t::fetch(const std::string& name, std::uint64_t limit,
                                             const kept_body_t* held) {
  fetched_body_t body;
  if (!found(name, limit, [&](const url_t& url) { body = fetch_body(downloader_, url, held, limit); }))
    return std::nullopt;
  validators_ = body.validators;
  return std::string(body.bytes.begin(), body.bytes.end());
}

bool upstream_t::fetch_to(const std::string& name, const std::filesystem::path& path,
                          std::uint64_t limit) {
  return found(name, limit, [&](const url_t& url) { downloader_.download(url, path.string(), limit); });
}

}  // namespace upd::publish
