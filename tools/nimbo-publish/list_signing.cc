#include "list_signing.h"

#include <limits>
#include <stdexcept>

#include "formats/lst_grammar.h"
#include "formats/whole_file.h"
#include "output_file.h"

namespace upd::publish {

// Only the layout is checked, not the DSA signature: the tool may be built
// to trust another DSA key than the publisher's, and the Ed25519 signature
// covers the list's bytes whatever they hold.
std::string serial_of(const std::filesystem::path& path, std::string_view list) {
  const auto layout = match_lst_layout(list);
  if (!layout) throw std::runtime_error(path.string() + ": not an update list");
  return serial_value(layout->serial);
}

std::string read_file(const std::filesystem::path& path, std::size_t limit) {
  try {
    return read_whole_file(path.string(), limit);
  } catch (const std::exception& e) {
    throw std::runtime_error(path.string() + ": " + e.what());
  }
}

std::string list_signature_text(std::string_view list, const list_signing_t& signing) {
  const std::string statement =
      list_statement(list, serial_of("version.lst", list), signing.expires, signing.zone);
  std::string text = statement;
  for (const auto& key : signing.keys)
    text += list_signature_line(ed25519_public_key(key), ed25519_sign(key, statement));
  return text;
}

std::string signing_summary(const list_signing_t& signing) {
  std::string ids;
  for (const auto& key : signing.keys) ids += (ids.empty() ? "" : ", ") + ed25519_key_id(ed25519_public_key(key));
  return "zone " + signing.zone + ", expires " + format_utc_time(signing.expires) +
         (signing.keys.size() == 1 ? ", key " : ", keys ") + ids;
}

std::string resign_list(const std::filesystem::path& out, list_signing_t signing) {
  const std::filesystem::path list_path = out / "version.lst",
                              signature_path = out / list_signature_name;
  const std::string list = read_file(list_path, max_list_size);
  try {
    std::vector<ed25519_key_t> keys;
    for (const auto& key : signing.keys) keys.push_back(ed25519_public_key(key));
    const auto old = list_signature_t::parse(read_file(signature_path, max_list_signature_size));
    // An expired signature is what the daily job renews: no time is too late.
    old.check(keys, list, serial_of(list_path, list), old.zone,
              std::numeric_limits<std::time_t>::min());
    signing.zone = old.zone;
  } catch (const list_signature_error& e) {
    throw std::runtime_error(
        signature_path.string() + ": " + e.what() +
        "; only a list signed before with one of the given keys is signed again");
  }
  write_atomically(signature_path, list_signature_text(list, signing));
  return std::string(list_signature_name) + " renewed for version.lst " + serial_of(list_path, list) + ": " +
         signing_summary(signing);
}

}  // namespace upd::publish
