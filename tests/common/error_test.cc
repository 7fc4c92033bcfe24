#include "common/error.h"

#include <gtest/gtest.h>

#include <boost/filesystem/exception.hpp>
#include <cerrno>
#include <new>
#include <stdexcept>

namespace upd {
namespace {

TEST(ErrorText, GivesTheListedTextsAndNumbersForGaps) {
  EXPECT_EQ(error_text(0), "Success");
  EXPECT_EQ(error_text(1), "Error on monitor channel");
  EXPECT_EQ(error_text(7), "Invalid IPC message size");
  EXPECT_EQ(error_text(25), "Not a directrory");
  EXPECT_EQ(error_text(93), "Proxy authentication error");
  EXPECT_EQ(error_text(107), "Process terminated by signal");
  EXPECT_EQ(error_text(125), "Unexpected error");
  EXPECT_EQ(error_text(46), "46");
  EXPECT_EQ(error_text(-3), "-3");
}

TEST(ErrorText, EveryValueHasItsOwnText) {
  const auto* codes = nb::ErrorCode_descriptor();
  ASSERT_EQ(codes->value_count(), 67);
  for (int i = 0; i < codes->value_count(); ++i) {
    const int number = codes->value(i)->number();
    EXPECT_NE(error_text(number), std::to_string(number));
    EXPECT_NE(error_text(number), codes->value(i)->name());
  }
}

TEST(ErrorCategory, NamesItselfAndGivesNumbersOutsideTheTable) {
  EXPECT_STREQ(proto_error_category().name(), "nb.Error");
  EXPECT_EQ(proto_error_category().message(46), "nb.Error 46");
  EXPECT_EQ(nb::make_error_code(nb::EC_BAD_CHECKSUM).message(), "Invalid checksum");
  EXPECT_EQ(&proto_error_category(), &nb::make_error_code(nb::EC_OK).category());
}

TEST(CodeFromError, MapsTheTable) {
  using boost::system::error_code;
  using boost::system::system_category;
  EXPECT_EQ(code_from_error(error_code(ENOENT, system_category())), nb::EC_NO_SUCH_ENTRY);
  EXPECT_EQ(code_from_error(error_code(EACCES, system_category())), nb::EC_PERMISSION_DENIED);
  EXPECT_EQ(code_from_error(error_code(EPERM, system_category())), nb::EC_PERMISSION_DENIED);
  EXPECT_EQ(code_from_error(error_code(ENOTDIR, system_category())), nb::EC_NOT_A_DIRECTORY);
  EXPECT_EQ(code_from_error(error_code(EROFS, system_category())), nb::EC_READ_ONLY_FS);
  EXPECT_EQ(code_from_error(error_code(EINVAL, system_category())), nb::EC_INVALID_ARGUMENT);
  EXPECT_EQ(code_from_error(error_code(ECONNREFUSED, system_category())), nb::EC_UNEXPECTED_ERROR);
  EXPECT_EQ(code_from_error(error_code()), nb::EC_OK);
  EXPECT_EQ(code_from_error(nb::make_error_code(nb::EC_BAD_CHECKSUM)), nb::EC_BAD_CHECKSUM);
  EXPECT_EQ(code_from_error(error_code(46, proto_error_category())), nb::EC_UNEXPECTED_ERROR);
}

TEST(TextFromException, StripsBoostQualifiers) {
  EXPECT_EQ(text_from_exception(std::runtime_error("boost::asio::connect: Connection refused")),
            "connect: Connection refused");
  EXPECT_EQ(text_from_exception(std::runtime_error("boost:: word")), " word");
  EXPECT_EQ(text_from_exception(std::runtime_error("plain text")), "plain text");
  EXPECT_EQ(text_from_exception(std::runtime_error("a boost::x::y")), "a boost::x::y");
  boost::filesystem::filesystem_error fs_error(
      "boost::filesystem::create_directory", "/x",
      boost::system::error_code(EACCES, boost::system::system_category()));
  EXPECT_EQ(text_from_exception(fs_error).rfind("create_directory", 0), 0u);
}

TEST(CodeFromException, UsesSystemErrorCodesOnly) {
  std::bad_alloc oom;
  EXPECT_EQ(code_from_exception(&oom), nb::EC_UNEXPECTED_ERROR);
  EXPECT_EQ(text_from_exception(oom), "Not enough memory");
  EXPECT_EQ(code_from_exception(nullptr), nb::EC_UNEXPECTED_ERROR);
  boost::system::system_error denied(EACCES, boost::system::system_category(), "open");
  EXPECT_EQ(code_from_exception(&denied), nb::EC_PERMISSION_DENIED);
  EXPECT_EQ(error_from_exception(&denied).value(), EACCES);
  std::runtime_error other("x");
  EXPECT_EQ(error_from_exception(&other), nb::make_error_code(nb::EC_UNEXPECTED_ERROR));
}

}  // namespace
}  // namespace upd
