// Fuzz target: the loader of the checksum cache file. The input is decoded
// as a stored file, and again sealed (its digest field appended) so that
// the protobuf parsing behind the digest check is reached too. What decodes
// must encode back to a file that decodes to the same records.
#include <stdexcept>
#include <string>

#include "formats/cache_file.h"
#include "fuzz_support.h"

namespace {

void decode(const std::string& bytes) {
  try {
    const upd::cache_records_t records = upd::decode_cache(bytes);
    FUZZ_CHECK(upd::decode_cache(upd::encode_cache(records)) == records);
  } catch (const std::runtime_error& e) {
    FUZZ_CHECK(std::string(e.what()) == "invalid format");
  }
}

}  // namespace

void fuzz_one(std::string_view bytes) {
  decode(std::string(bytes));
  decode(upd::seal_cache(std::string(bytes)));
}
