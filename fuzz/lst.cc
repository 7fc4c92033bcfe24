// Fuzz target: the update list reader lst_file_t::parse, the production path
// whole. An input that has the list's layout is parsed as it is and again
// with its signature digits replaced by a valid signature of its signed
// part, so that the body lines behind the signature check are reached.
// Failures must be the reader's own: EC_BAD_LST_FILE, or the conversion
// error of an entry size above 2^32 - 1.
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>
#include <span>
#include <string>

#include "common/error.h"
#include "formats/lst_file.h"
#include "formats/lst_grammar.h"
#include "formats/signing.h"
#include "fuzz_support.h"

namespace {

void parse(std::string_view bytes) {
  try {
    const upd::lst_file_t list = upd::lst_file_t::parse(std::span<const char>(bytes.data(), bytes.size()));
    FUZZ_CHECK(!list.file_names().empty());
    for (const std::string& name : list.file_names()) {
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

void fuzz_one(std::string_view bytes) {
  parse(bytes);
  const auto layout = upd::match_lst_layout(bytes);
  if (!layout || !upd::testing::can_sign()) return;
  std::string copy(bytes);
  copy.replace(static_cast<std::size_t>(layout->signature.data() - bytes.data()), layout->signature.size(),
               upd::testing::signature_of(layout->signed_part));
  parse(copy);
}
