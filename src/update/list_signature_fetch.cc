#include "update/list_signature_fetch.h"

#include <boost/system/system_error.hpp>

#include "common/error.h"
#include "formats/list_keys.h"
#include "http/downloader.h"
#include "http/url.h"
#include "update/kept_lists.h"

namespace upd {

std::optional<fetched_list_signature_t> fetch_list_signature(
    downloader_t& downloader, const std::string& server, std::span<const char> list_bytes,
    const std::string& serial, const std::string& zone, bool required, const kept_body_t* kept) {
  const url_t url(server, list_signature_name);
  fetched_body_t body;
  try {
    body = fetch_body(downloader, url, kept, max_list_signature_size);
  } catch (const boost::system::system_error& e) {
    // Only a plain "not here" counts as unsigned: any other answer may be a
    // server or a man in the middle hiding the file.
    if (downloader.last_status() == 404) {
      if (required) throw list_signature_error("missing");
      return std::nullopt;
    }
    if (downloader.last_status() == 200 && downloader.bytes_received() > max_list_signature_size)
      throw list_signature_error("too large");
    throw list_signature_error(text_from_exception(e));
  }
  const auto signature = list_signature_t::parse({body.bytes.data(), body.bytes.size()});
  signature.check(built_in_list_keys(), {list_bytes.data(), list_bytes.size()}, serial, zone,
                  std::time(nullptr));
  return fetched_list_signature_t{signature.expires,
                                  {std::string(body.bytes.begin(), body.bytes.end()), body.validators}};
}

}  // namespace upd
