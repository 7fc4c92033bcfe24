#include "update/list_serials.h"

#include <boost/system/system_error.hpp>
#include <optional>
#include <sstream>

#include "common/error.h"
#include "common/fd_io.h"
#include "common/log.h"
#include "formats/list_signature.h"
#include "formats/quoted_path.h"
#include "formats/replace_file.h"
#include "formats/whole_file.h"

namespace upd {
namespace {

const std::string header = "nimbo-update serials 1\n";
const std::string trailer = "end\n";
const std::string signed_mark = "signed";
// Three zones need a few dozen bytes; anything much larger is not ours.
constexpr std::size_t max_file_size = 4096;

bool is_zone_name(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < 'A' || c > 'Z') return false;
  return true;
}

bool is_serial(const std::string& text) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
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
        !is_zone_name(zone) || !is_serial(serial) || (!mark.empty() && mark != signed_mark) ||
        (!expires.empty() && !expiry) || serials.count(zone))
      return std::nullopt;
    serials.emplace(std::move(zone), installed_list_t{std::move(serial), !mark.empty(), expiry.value_or(0)});
  }
  return serials;
}

std::string format(const zone_serials_t& serials) {
  std::string text = header;
  for (const auto& [zone, list] : serials)
    text += zone + " " + list.serial + (list.signed_list ? " " + signed_mark : "") +
            (list.signed_list && list.expires ? " " + format_utc_time(list.expires) : "") + "\n";
  return text + trailer;
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
