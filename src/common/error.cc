#include "common/error.h"

#include <boost/xpressive/xpressive_static.hpp>
#include <cerrno>
#include <new>
#include <typeinfo>

#include "annotation.pb.h"

namespace upd {

const char* cf_proto_error_impl_t::name() const noexcept { return "nb.Error"; }

std::string cf_proto_error_impl_t::message(int value) const {
  if (!nb::ErrorCode_IsValid(value)) return "nb.Error " + std::to_string(value);
  return error_text(value);
}

const boost::system::error_category& proto_error_category() {
  static const cf_proto_error_impl_t category;
  return category;
}

std::string error_text(int code) {
  const auto* value = nb::ErrorCode_descriptor()->FindValueByNumber(code);
  if (!value) return std::to_string(code);
  const auto& options = value->options();
  if (options.HasExtension(nb::lex)) return options.GetExtension(nb::lex);
  return value->name();
}

std::string text_from_exception(const std::exception& e) {
  using namespace boost::xpressive;
  // "boost::" then any number of "word::" qualifiers, anchored at the start.
  static const sregex qualifiers = bos >> "boost::" >> *(+_w >> "::");
  std::string text = e.what();
  smatch match;
  if (regex_search(text, match, qualifiers)) return text.substr(match.length(0));
  if (typeid(e) == typeid(std::bad_alloc)) return "Not enough memory";
  return text;
}

nb::ErrorCode code_from_exception(const std::exception* e) {
  if (const auto* system = dynamic_cast<const boost::system::system_error*>(e))
    return code_from_error(system->code());
  return nb::EC_UNEXPECTED_ERROR;
}

nb::ErrorCode code_from_error(const boost::system::error_code& ec) {
  namespace errc = boost::system::errc;
  if (ec.category() == proto_error_category() && nb::ErrorCode_IsValid(ec.value()))
    return static_cast<nb::ErrorCode>(ec.value());
  if (ec == errc::success) return nb::EC_OK;
  if (ec == errc::permission_denied || ec == errc::operation_not_permitted)
    return nb::EC_PERMISSION_DENIED;
  if (ec == errc::no_such_file_or_directory) return nb::EC_NO_SUCH_ENTRY;
  if (ec == errc::not_a_directory) return nb::EC_NOT_A_DIRECTORY;
  if (ec == errc::read_only_file_system) return nb::EC_READ_ONLY_FS;
  if (ec == errc::invalid_argument) return nb::EC_INVALID_ARGUMENT;
  // What the administrator must act on, unlike an unexpected error.
  if (is_disk_full(ec)) return nb::EC_IO_ERROR;
  return nb::EC_UNEXPECTED_ERROR;
}

bool is_disk_full(const boost::system::error_code& ec) {
  return ec.category() == boost::system::system_category() &&
         (ec.value() == ENOSPC || ec.value() == EDQUOT);
}

boost::system::error_code error_from_exception(const std::exception* e) {
  if (const auto* system = dynamic_cast<const boost::system::system_error*>(e))
    return system->code();
  return nb::make_error_code(nb::EC_UNEXPECTED_ERROR);
}

boost::system::system_error errno_error(int err, const char* context) {
  return boost::system::system_error(err, boost::system::system_category(), context);
}

}  // namespace upd

namespace nb {
boost::system::error_code make_error_code(ErrorCode code) {
  return {static_cast<int>(code), upd::proto_error_category()};
}
boost::system::error_condition make_error_condition(ErrorCode code) {
  return {static_cast<int>(code), upd::proto_error_category()};
}
}  // namespace nb
