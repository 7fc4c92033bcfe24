// Fuzz target: the update list reader lst_file_t::parse, the production path
// whole. An input that has the list's layout is parsed as it is and again
// with its signature digits replaced by a valid signature of its signed
// part, so that the body lines behind the signature check are reached.
// Failures must be the reader's own: EC_BAD_LST_FILE, or the conversion
// error of an entry size above 2^32 - 1.
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/error.h"
#include "formats/lst_file.h"
#include "formats/lst_grammar.h"
#include "formats/signing.h"
#include "fuzz_support.h"

namespace {

void parse(std::string_view bytes) {
  try {
    const upd::lst_file_t list = upd::lst_file_t::parse(std::span<const char>(bytes.data(), bytes.size()));
    const auto names = list.file_names();
    FUZZ_CHECK(!names.empty());
    for (const std::string& name : names) {
      FUZZ_CHECK(list.contains(name));
      FUZZ_CHECK(name != "." && name != ".." && name.find('/') == std::string::npos);
      list.matches_pattern(name);
    }
  } catch (const boost::system::system_error& e) {
    FUZZ_CHECK(e.code() == nb::make_error_code(nb::EC_BAD_LST_FILE));
  } catch (const boost::bad_lexical_cast&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  parse(bytes);
  const auto layout = upd::match_lst_layout(bytes);
  if (!layout || !upd::testing::can_sign()) return 0;
  const std::size_t at = static_cast<std::size_t>(layout->signature.data() - bytes.data());
  std::string copy(bytes);
  copy.replace(at, layout->signature.size(), upd::testing::signature_of(layout->signed_part));
  parse(copy);
  return 0;
}
