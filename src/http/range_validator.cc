#include "http/range_validator.h"

#include <unistd.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include "common/fd_io.h"
#include "common/safe_file.h"

namespace upd {
namespace {

bool usable(const std::string& text) {
  return !text.empty() && text.size() <= max_range_validator_size &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

std::string header(const http_response_t& head, const char* name) {
  const auto values = head.headers.values(name);
  return values.empty() ? std::string() : values.front();
}

}  // namespace

std::string range_validator(const http_response_t& head) {
  // A weak ETag may not validate a range.
  const std::string tag = header(head, "ETag");
  if (usable(tag) && tag.size() >= 2 && tag.front() == '"' && tag.back() == '"') return tag;
  const std::string date = header(head, "Last-Modified");
  return usable(date) ? date : std::string();
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
    std::string text(max_range_validator_size + 1, '\0');
    const ssize_t size = ::read(fd.get(), text.data(), text.size());
    text.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    return usable(text) ? text : std::string();
  } catch (const boost::system::system_error&) {
    return {};
  }
}

}  // namespace upd
