#include "formats/drl_file.h"

#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "common/error.h"
#include "common/log.h"
#include "formats/signature.h"
#include "formats/whole_file.h"

namespace upd {
namespace {

std::string_view trimmed(std::string_view value) {
  constexpr std::string_view blanks = " \t\r\n";
  const auto first = value.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return value.substr(first, value.find_last_not_of(blanks) - first + 1);
}

}  // namespace

void drl_file_t::load(const boost::filesystem::path& path) {
  try {
    parse(read_whole_file(path, max_size), path);
  } catch (const std::exception& e) {
    UPD_LOG(log_error, "DRL: " << path << ": " << text_from_exception(e));
    throw nb::EC_BAD_DRL_FILE;
  }
}

void drl_file_t::parse(std::string_view bytes, const boost::filesystem::path& path) {
  urls_.clear();
  std::size_t position = 0, signed_end = 0, unsigned_urls = 0;
  std::string_view signature;
  while (position < bytes.size()) {
    const std::size_t end = std::min(bytes.find_first_of("\r\n", position), bytes.size());
    const std::string_view line = bytes.substr(position, end - position);
    position = std::min(end + 1, bytes.size());
    if (line.starts_with(url_line_begin)) {
      // Only the signed part may name servers.
      if (signature.empty())
        urls_.emplace(trimmed(line.substr(url_line_begin.size())));
      else
        ++unsigned_urls;
    } else if (line.starts_with(sign_line_begin)) {
      signature = trimmed(line.substr(sign_line_begin.size()));
    } else if (!line.empty()) {
      throw std::runtime_error("invalid format");
    }
    if (signature.empty()) signed_end = position;
  }
  if (!verify_signature(bytes.data(), signed_end, signature)) throw std::runtime_error("invalid signature");
  if (unsigned_urls != 0)
    UPD_LOG(log_warning, "DRL: " << path << ": " << unsigned_urls
                                 << " url= line(s) after the signature are not signed and were ignored");
}

std::vector<std::string> drl_file_t::shuffled_urls() const {
  std::vector<std::string> urls(urls_.begin(), urls_.end());
  for (std::size_t i = 1; i < urls.size(); ++i) std::swap(urls[i], urls[static_cast<std::size_t>(std::rand()) % (i + 1)]);
  return urls;
}

}  // namespace upd
