// The suite's error codes inside boost.system error codes, and the helpers
// that turn any failure into an exit code and a text.
//
// Failures travel as a bare nb::ErrorCode thrown by value, as a system error
// carrying an nb.Error code, or as a system error carrying an errno. These
// functions are thread-safe: the category and the pattern are built once.
#pragma once

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <exception>
#include <string>

#include "error.pb.h"

namespace upd {

// The category of nb::ErrorCode values, named "nb.Error".
class cf_proto_error_impl_t : public boost::system::error_category {
 public:
  const char* name() const noexcept override;
  std::string message(int value) const override;
};

const boost::system::error_category& proto_error_category();

// The value's lex text, else its enumeration name, else the number.
std::string error_text(int code);

// The exception's text without a leading "boost::qualifier::" part;
// "Not enough memory" for std::bad_alloc.
std::string text_from_exception(const std::exception& e);

nb::ErrorCode code_from_exception(const std::exception* e);
// Disk full or quota exceeded (ENOSPC, EDQUOT) give EC_IO_ERROR.
nb::ErrorCode code_from_error(const boost::system::error_code& ec);
// ENOSPC or EDQUOT from the system: a full disk, or the user's quota used up.
bool is_disk_full(const boost::system::error_code& ec);
boost::system::error_code error_from_exception(const std::exception* e);

// A system error carrying errno with a context text ("open", "read", ...).
boost::system::system_error errno_error(int err, const char* context);

}  // namespace upd

namespace nb {
boost::system::error_code make_error_code(ErrorCode code);
boost::system::error_condition make_error_condition(ErrorCode code);
}  // namespace nb

namespace boost::system {
template <>
struct is_error_code_enum<nb::ErrorCode> : std::true_type {};
}  // namespace boost::system
