#include "update/kept_lists.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <charconv>
#include <map>

#include "common/fd_io.h"
#include "common/printable.h"
#include "formats/list_signature.h"
#include "formats/replace_file.h"
#include "formats/whole_file.h"
#include "http/downloader.h"

namespace upd {
namespace {

constexpr std::string_view kept_header = "nimbo-update kept list 1\n";
constexpr std::string_view kept_trailer = "end\n";
// The list, its signature file, and room for the URL and validators.
constexpr std::size_t max_kept_size =
    downloader_t::memory_limit_ + max_list_signature_size + 64 * 1024;

using fields_t = std::map<std::string, std::string>;

void add_field(std::string& text, const std::string& name, const std::string& value) {
  text += name + " " + std::to_string(value.size()) + "\n" + value + "\n";
}

// Every field whole, each once, or nothing.
std::optional<fields_t> parse_fields(std::string_view text) {
  if (!text.starts_with(kept_header)) return std::nullopt;
  text.remove_prefix(kept_header.size());
  fields_t fields;
  while (text != kept_trailer) {
    const auto space = text.find(' '), end_of_line = text.find('\n');
    if (space == std::string_view::npos || end_of_line == std::string_view::npos ||
        space > end_of_line)
      return std::nullopt;
    std::size_t size = 0;
    const char* digits = text.data() + space + 1;
    const auto [end, error] = std::from_chars(digits, text.data() + end_of_line, size);
    if (error != std::errc() || end != text.data() + end_of_line) return std::nullopt;
    const std::string name(text.substr(0, space));
    text.remove_prefix(end_of_line + 1);
    if (size >= text.size() || text[size] != '\n') return std::nullopt;
    if (!fields.emplace(name, std::string(text.substr(0, size))).second) return std::nullopt;
    text.remove_prefix(size + 1);
  }
  return fields;
}

bool printable(const std::string& value, std::size_t limit) {
  return value.size() <= limit && is_printable_ascii(value);
}

bool fits_header(const std::string& value) { return printable(value, max_http_validator_size); }

std::optional<kept_body_t> body(const fields_t& fields, const std::string& name) {
  const auto bytes = fields.find(name), etag = fields.find(name + "-etag"),
             date = fields.find(name + "-last-modified");
  if (bytes == fields.end() || etag == fields.end() || date == fields.end() ||
      !fits_header(etag->second) || !fits_header(date->second))
    return std::nullopt;
  return kept_body_t{bytes->second, {etag->second, date->second}};
}

}  // namespace

std::string encode_kept_list(const kept_list_t& kept) {
  std::string text(kept_header);
  add_field(text, "url", kept.url);
  const auto add_body = [&](const std::string& name, const kept_body_t& body) {
    add_field(text, name + "-etag", body.validators.etag);
    add_field(text, name + "-last-modified", body.validators.last_modified);
    add_field(text, name, body.bytes);
  };
  add_body("list", kept.list);
  if (kept.signature) add_body("signature", *kept.signature);
  return text.append(kept_trailer);
}

std::optional<kept_list_t> decode_kept_list(std::string_view text) {
  const std::optional<fields_t> fields = parse_fields(text);
  if (!fields || !fields->count("url")) return std::nullopt;
  auto list = body(*fields, "list");
  auto signature = body(*fields, "signature");
  const bool complete = fields->size() == (signature ? 7u : 4u);
  if (!list || !complete || !printable(fields->at("url"), 64 * 1024)) return std::nullopt;
  return kept_list_t{fields->at("url"), std::move(*list), std::move(signature)};
}

boost::filesystem::path kept_list_path(const boost::filesystem::path& update_dir,
                                       const std::string& zone) {
  return update_dir / ("nimbo-update.kept-" + zone);
}

std::optional<kept_list_t> load_kept_list(const boost::filesystem::path& update_dir,
                                          const std::string& zone) {
  try {
    return decode_kept_list(
        read_whole_file(kept_list_path(update_dir, zone), max_kept_size, links_t::refuse));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// An unchanged list is not written again: most runs change nothing, and
// a rewrite would cost a flush to disk of the whole list every time. A
// list without validators cannot be asked about: nothing is kept of it.
void record_kept_lists(const boost::filesystem::path& update_dir, const zone_serials_t& lists) {
  for (const auto& [zone, list] : lists) {
    if (!list.kept) continue;
    const auto path = kept_list_path(update_dir, zone);
    if (list.kept->list.validators.empty()) {
      boost::system::error_code ignored;
      boost::filesystem::remove(path, ignored);
      continue;
    }
    const std::string text = encode_kept_list(*list.kept);
    try {
      if (read_whole_file(path, max_kept_size, links_t::refuse) == text) continue;
    } catch (const std::exception&) {
    }
    replace_file(path, text, 0600, write_all);
  }
}

fetched_body_t fetch_body(downloader_t& downloader, const url_t& url, const kept_body_t* kept,
                          std::uint64_t limit) {
  fetched_body_t fetched;
  downloader.download_if_changed(url, fetched.bytes, kept ? kept->validators : http_validators_t{},
                                 limit);
  fetched.validators = downloader.validators();
  if (!downloader.not_modified()) return fetched;
  fetched.from_kept = true;
  fetched.bytes.assign(kept->bytes.begin(), kept->bytes.end());
  if (fetched.validators.etag.empty()) fetched.validators.etag = kept->validators.etag;
  if (fetched.validators.last_modified.empty())
    fetched.validators.last_modified = kept->validators.last_modified;
  return fetched;
}

}  // namespace upd
