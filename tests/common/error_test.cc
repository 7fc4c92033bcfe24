#include "common/error.h"

#include <gtest/gtest.h>

#include <boost/filesystem/exception.hpp>
#include <cerrno>
#include <new>
#include <stdexcept>

namespace upd {
namespace {

TEST(CodeFromError, MapsSystemErrorsOurCodesAndExceptions) {
  using boost::system::error_code, boost::system::system_category;
  const std::pair<int, nb::ErrorCode> cases[] = {
      {ENOENT, nb::EC_NO_SUCH_ENTRY},     {EACCES, nb::EC_PERMISSION_DENIED},  {EPERM, nb::EC_PERMISSION_DENIED},
      {ENOTDIR, nb::EC_NOT_A_DIRECTORY},  {EROFS, nb::EC_READ_ONLY_FS},        {EINVAL, nb::EC_INVALID_ARGUMENT},
      {ECONNREFUSED, nb::EC_UNEXPECTED_ERROR}, {0, nb::EC_OK}, {ENOSPC, nb::EC_IO_ERROR}, {EDQUOT, nb::EC_IO_ERROR},
  };
  for (const auto& [number, code] : cases) EXPECT_EQ(code_from_error(error_code(number, system_category())), code);
  EXPECT_EQ(code_from_error(nb::make_error_code(nb::EC_BAD_CHECKSUM)), nb::EC_BAD_CHECKSUM);
  EXPECT_EQ(code_from_error(error_code(46, proto_error_category())), nb::EC_UNEXPECTED_ERROR);
  std::bad_alloc oom;
  EXPECT_EQ(code_from_exception(&oom), nb::EC_UNEXPECTED_ERROR);
  EXPECT_EQ(text_from_exception(oom), "Not enough memory");
  EXPECT_EQ(code_from_exception(nullptr), nb::EC_UNEXPECTED_ERROR);
  boost::system::system_error denied(EACCES, system_category(), "open");
  EXPECT_EQ(code_from_exception(&denied), nb::EC_PERMISSION_DENIED);
  std::runtime_error other("x");
  EXPECT_EQ(error_from_exception(&other), nb::make_error_code(nb::EC_UNEXPECTED_ERROR));
}

}  // namespace
}  // namespace upd
