// Fuzz target: the reader of "version.lst.sig", list_signature_t::parse, and
// the check of what it read against the built-in keys. Failures must be the
// reader's own list_signature_error; what it accepts must be the statement
// it says it signed, followed by well-formed signature lines.
#include "formats/list_keys.h"
#include "formats/list_signature.h"
#include "fuzz_support.h"

void fuzz_one(std::string_view bytes) {
  try {
    const auto file = upd::list_signature_t::parse(bytes);
    FUZZ_CHECK(bytes.starts_with(file.statement) && file.statement.ends_with('\n'));
    FUZZ_CHECK(!file.signatures.empty());
    for (const auto& line : file.signatures)
      FUZZ_CHECK(line.key_id.size() == 16 && line.signature.size() == 64);
    file.check(upd::built_in_list_keys(), bytes, file.serial, file.zone, file.expires - 1);
  } catch (const upd::list_signature_error&) {
  }
}
