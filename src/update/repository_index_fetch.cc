#include "update/repository_index_fetch.h"

#include <vector>

#include "common/error.h"
#include "common/log.h"
#include "formats/repository_index.h"
#include "http/downloader.h"

namespace upd {

void fetch_repository_index(downloader_t& downloader, const zone_t& zone, const char* name,
                            const std::function<void(std::string_view)>& parse) {
  const url_t url(zone.current_server(), name);
  std::vector<char> body;
  try {
    downloader.download(url, body, max_repository_index_size);
    parse(std::string_view(body.data(), body.size()));
  } catch (const std::exception& e) {
    if (downloader.last_status() == 404)
      UPD_LOG(log_debug, "No " << name << " at " << url.to_string());
    else
      UPD_LOG(log_notice, name << " from " << url.to_string() << " ignored: " << text_from_exception(e));
  }
}

}  // namespace upd
