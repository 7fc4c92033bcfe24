#include "update/server_waits.h"

#include <algorithm>
#include <boost/system/system_error.hpp>
#include <charconv>
#include <ctime>
#include <sstream>

#include "common/error.h"
#include "common/fd_io.h"
#include "common/log.h"
#include "common/printable.h"
#include "formats/list_signature.h"
#include "formats/quoted_path.h"
#include "formats/replace_file.h"
#include "formats/whole_file.h"
#include "http/cache_validators.h"

namespace upd {
namespace {

constexpr std::string_view waits_header = "nimbo-update waits 1\n";
constexpr std::string_view waits_trailer = "end\n";
// Many servers at most a few hundred bytes each: more is no record of ours.
constexpr std::size_t max_waits_size = 1024 * 1024;

bool printable_url(const std::string& url) {
  return !url.empty() && is_printable_ascii(url) && url.find(' ') == std::string::npos;
}

}  // namespace

std::optional<std::vector<server_wait_t>> decode_server_waits(const std::string& text) {
  if (!text.starts_with(waits_header) || !text.ends_with(waits_trailer)) return std::nullopt;
  std::istringstream lines(
      text.substr(waits_header.size(), text.size() - waits_header.size() - waits_trailer.size()));
  std::vector<server_wait_t> waits;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    server_wait_t wait;
    std::string until;
    words >> wait.zone >> until >> wait.server;
    const auto time = parse_utc_time(until);
    if (!is_list_zone(wait.zone) || !time ||
        (!wait.server.empty() && !printable_url(wait.server)) ||
        line != wait.zone + " " + until + (wait.server.empty() ? "" : " " + wait.server))
      return std::nullopt;
    wait.until = *time;
    waits.push_back(std::move(wait));
  }
  return waits;
}

std::string encode_server_waits(const std::vector<server_wait_t>& waits) {
  std::string text(waits_header);
  for (const auto& wait : waits) {
    std::string line = wait.zone + " " + format_utc_time(wait.until) +
                       (wait.server.empty() ? "" : " " + wait.server) + "\n";
    if (text.size() + line.size() + waits_trailer.size() > max_waits_size) break;
    text += line;
  }
  return text.append(waits_trailer);
}

std::optional<std::time_t> retry_after_time(const std::string& value, std::time_t now) {
  std::optional<std::time_t> until;
  std::uint64_t seconds = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
  if (!value.empty() && error == std::errc() && end == value.data() + value.size())
    until = now + static_cast<std::time_t>(std::min<std::uint64_t>(seconds, max_server_wait));
  else if (error == std::errc::result_out_of_range)
    until = now + max_server_wait;
  else
    until = parse_http_date(value);
  if (!until || *until <= now) return std::nullopt;
  return std::min(*until, now + max_server_wait);
}

std::vector<server_wait_t> load_server_waits(const boost::filesystem::path& update_dir,
                                             std::time_t now) {
  const boost::filesystem::path path = update_dir / server_waits_name;
  std::optional<std::vector<server_wait_t>> waits;
  try {
    waits = decode_server_waits(read_whole_file(path, max_waits_size, links_t::refuse));
  } catch (const boost::system::system_error& e) {
    if (e.code() == boost::system::errc::no_such_file_or_directory) return {};
  } catch (const std::exception&) {
  }
  if (!waits) {
    UPD_LOG(log_warning, "Waits: " << quoted_path(path) << ": damaged, no server waits");
    return {};
  }
  std::erase_if(*waits, [now](const server_wait_t& wait) { return wait.until <= now; });
  return *waits;
}

server_waits_t::server_waits_t(boost::filesystem::path update_dir, std::time_t now)
    : update_dir_(std::move(update_dir)),
      waits_(update_dir_.empty() ? std::vector<server_wait_t>{}
                                 : load_server_waits(update_dir_, now)) {}

std::optional<std::time_t> server_waits_t::until(const std::string& zone,
                                                 const std::string& server) const {
  for (const auto& wait : waits_)
    if (wait.zone == zone && wait.server == server) return wait.until;
  return std::nullopt;
}

void server_waits_t::add(const std::string& zone, const std::string& server, std::time_t until) {
  std::erase_if(waits_, [&](const server_wait_t& wait) {
    return wait.zone == zone && wait.server == server;
  });
  waits_.push_back({zone, server, until});
  store();
}

void server_waits_t::forget_zone(const std::string& zone) {
  if (std::erase_if(waits_, [&](const server_wait_t& wait) { return wait.zone == zone && wait.server.empty(); }))
    store();
}

void server_waits_t::store() const {
  if (update_dir_.empty()) return;
  const boost::filesystem::path path = update_dir_ / server_waits_name;
  try {
    replace_file(path, encode_server_waits(waits_), 0600, write_all);
  } catch (const std::exception& e) {
    UPD_LOG(log_warning, "Waits: " << quoted_path(path) << ": " << text_from_exception(e));
  }
}

}  // namespace upd
