#include "update/packed_forms.h"

#include <utility>

#include "update/repository_index_fetch.h"

namespace upd {

packed_forms_t::packed_forms_t(const zone_t& zone) : zone_(zone) {}

bool packed_forms_t::ask_packed(const std::string& name, downloader_t& downloader) {
  if (!std::exchange(index_fetched_, true))
    fetch_repository_index(downloader, zone_, packed_index_name,
                           [&](std::string_view text) { index_.emplace(text, zone_.serial()); });
  return !index_ || index_->packed(name);
}

}  // namespace upd
