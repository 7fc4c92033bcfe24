#include "update/list_serials.h"

#include <boost/system/system_error.hpp>
#include <algorithm>
#include <optional>
#include <sstream>

#include "common/error.h"
#include "common/fd_io.h"
#include "common/log.h"
#include "formats/list_signature.h"
#include "formats/lst_file.h"
#include "formats/quoted_path.h"
#include "formats/replace_file.h"
#include "formats/whole_file.h"

namespace upd {
namespace {

constexpr std::string_view header = "nimbo-update serials 1\n";
constexpr std::string_view trailer = "end\n";
constexpr std::string_view signed_mark = "signed";

// The largest record this code writes: every zone with its longest name, the
// longest serial a zone accepts, the mark and an expiry. A cap derived from
// the fields, so that no list can make the record unreadable, which would
// lift the rollback check and the signature requirement with it.
constexpr std::size_t max_file_size = [] {
  std::size_t longest_zone = 0;
  for (const auto zone : list_zones) longest_zone = std::max(longest_zone, zone.size());
  const std::size_t line =
      longest_zone + 1 + max_serial_digits + 1 + signed_mark.size() + 1 + utc_time_size + 1;
  return header.size() + list_zones.size() * line + trailer.size();
}();

bool is_serial(const std::string& text) {
  if (text.empty() || text.size() > max_serial_digits || (text.size() > 1 && text[0] == '0'))
    return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// Everything or nothing: a file cut short lacks its trailer.
std::optional<zone_serials_t> parse(const std::string& text) {
  if (!text.starts_with(header) || !text.ends_with(trailer)) return std::nullopt;
  std::istringstream lines(
      text.substr(header.size(), text.size() - header.size() - trailer.size()));
  zone_serials_t serials;
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string zone, serial, mark, expires;
    words >> zone >> serial >> mark >> expires;
    const auto expiry = parse_utc_time(expires);
    if (line != zone + " " + serial + (mark.empty() ? "" : " " + mark) + (expires.empty() ? "" : " " + expires) ||
        !is_list_zone(zone) || !is_serial(serial) || (!mark.empty() && mark != signed_mark) ||
        (!expires.empty() && !expiry) || serials.count(zone))
      return std::nullopt;
    serials.emplace(std::move(zone), installed_list_t{std::move(serial), !mark.empty(), expiry.value_or(0)});
  }
  return serials;
}

std::string format(const zone_serials_t& serials) {
  std::string text(header);
  for (const auto& [zone, list] : serials)
    text += zone + " " + list.serial + (list.signed_list ? " " + std::string(signed_mark) : "") +
            (list.signed_list && list.expires ? " " + format_utc_time(list.expires) : "") + "\n";
  return text.append(trailer);
}

}  // namespace

zone_serials_t load_list_serials(const boost::filesystem::path& update_dir) {
  const boost::filesystem::path path = update_dir / list_serials_name;
  std::optional<zone_serials_t> serials;
  try {
    // Nothing planted at the name is followed or waited on: such a file
    // counts as damaged.
    serials = parse(read_whole_file(path, max_file_size, links_t::refuse));
  } catch (const boost::system::system_error& e) {
    if (e.code() == boost::system::errc::no_such_file_or_directory) return {};
  } catch (const std::exception&) {
  }
  if (serials) return *serials;
  UPD_LOG(log_warning, "Serials: " << quoted_path(path) << ": damaged, every list is accepted");
  return {};
}

void record_list_serials(const boost::filesystem::path& update_dir, const zone_serials_t& serials) {
  zone_serials_t merged = load_list_serials(update_dir);
  for (const auto& [zone, list] : serials)
    merged[zone] = {list.serial, list.signed_list || merged[zone].signed_list, list.expires};
  replace_file(update_dir / list_serials_name, format(merged), 0600, write_all);
}

}  // namespace upd
