#include "http/range_validator.h"

#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include "common/fd_io.h"
#include "common/printable.h"
#include "common/safe_file.h"
#include "http/cache_validators.h"

namespace upd {
namespace {

bool usable(const std::string& text) {
  return !text.empty() && text.size() <= max_http_validator_size && is_printable_ascii(text);
}

}  // namespace

std::string range_validator(const http_response_t& head) {
  // A weak ETag may not validate a range.
  const std::string tag = printable_header(head, "ETag");
  if (!tag.empty() && tag.size() >= 2 && tag.front() == '"' && tag.back() == '"') return tag;
  return printable_header(head, "Last-Modified");
}

boost::filesystem::path range_validator_path(const boost::filesystem::path& file) {
  return file.string() + "-validator";
}

void store_range_validator(const boost::filesystem::path& file, const std::string& validator) {
  const auto path = range_validator_path(file);
  if (validator.empty()) {
    boost::system::error_code ignored;
    boost::filesystem::remove(path, ignored);
    return;
  }
  const unique_fd_t fd = create_file(path, 0600);
  write_all(fd.get(), validator.data(), validator.size());
}

std::string load_range_validator(const boost::filesystem::path& file) {
  try {
    const unique_fd_t fd = open_regular_file(range_validator_path(file), links_t::refuse);
    std::string text(max_http_validator_size + 1, '\0');
    const ssize_t size = ::read(fd.get(), text.data(), text.size());
    text.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    return usable(text) ? text : std::string();
  } catch (const boost::system::system_error&) {
    return {};
  }
}

}  // namespace upd
