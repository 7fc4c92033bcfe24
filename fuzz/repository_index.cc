// Fuzz target: the readers of the unsigned indexes a server may offer
// beside its list (the patch index and the packed-form index), for a list
// with serial 4. Whatever an index accepts must answer for every name it
// holds, and the packed-form index must read its own writing the same.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/packed_index.h"
#include "formats/patch_index.h"
#include "formats/signature.h"
#include "fuzz_support.h"

namespace {

// The index the bytes make for the list, if they make one.
template <class index_t>
std::optional<index_t> accepted(std::string_view bytes) {
  try {
    return index_t(bytes, "4");
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  }
}

void check_patch_index(std::string_view bytes) {
  const auto index = accepted<upd::patch_index_t>(bytes);
  if (!index) return;
  for (const auto& entry : index->entries())
    FUZZ_CHECK(index->patch_size(entry.name, upd::hex_to_bytes(entry.old_sha256)) == entry.size);
}

void check_packed_index(std::string_view bytes) {
  const auto index = accepted<upd::packed_index_t>(bytes);
  if (!index) return;
  // Accepted: two lines of head, then LF-ended names.
  std::vector<std::string> names;
  for (auto rest = bytes.substr(bytes.find('\n', bytes.find('\n') + 1) + 1); !rest.empty();
       rest.remove_prefix(rest.find('\n') + 1))
    names.emplace_back(rest.substr(0, rest.find('\n')));
  const upd::packed_index_t again(upd::packed_index_text("4", names), "4");
  for (const auto& name : names) FUZZ_CHECK(index->packed(name) && again.packed(name));
}

}  // namespace

void fuzz_one(std::string_view bytes) {
  check_patch_index(bytes);
  check_packed_index(bytes);
}
