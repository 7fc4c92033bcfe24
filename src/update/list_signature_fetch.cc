#include "update/list_signature_fetch.h"

#include <boost/system/system_error.hpp>

#include "common/error.h"
#include "formats/list_keys.h"
#include "http/downloader.h"
#include "http/url.h"

namespace upd {

std::optional<std::time_t> fetch_list_signature(downloader_t& downloader, const std::string& server,
                                                std::span<const char> list_bytes,
                                                const std::string& serial, const std::string& zone,
                                                bool required) {
  const url_t url(server, list_signature_name);
  std::vector<char> body;
  try {
    downloader.download(url, body, max_list_signature_size);
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
  const auto signature = list_signature_t::parse({body.data(), body.size()});
  signature.check(built_in_list_keys(), {list_bytes.data(), list_bytes.size()}, serial, zone,
                  std::time(nullptr));
  return signature.expires;
}

}  // namespace upd
