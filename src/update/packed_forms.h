// Which form of a file to ask the zone's current server for first. A
// repository that publishes packed forms only where packing pays
// (formats/packed_index.h) says so in its packed-form index; without one,
// every file is asked for packed first, as from a repository older than
// the index. Other servers are always asked for both forms: a mirror may
// hold what the index's server lacks. Update worker only.
#pragma once

#include <optional>
#include <string>

#include "formats/packed_index.h"
#include "update/zone.h"

namespace upd {

class downloader_t;

class packed_forms_t {
 public:
  explicit packed_forms_t(const zone_t& zone);

  // Whether to ask the current server for NAME.lzma before NAME. The first
  // call fetches the index with the downloader, an idle one.
  bool ask_packed(const std::string& name, downloader_t& downloader);

 private:
  const zone_t& zone_;
  bool index_fetched_ = false;
  std::optional<packed_index_t> index_;
};

}  // namespace upd
