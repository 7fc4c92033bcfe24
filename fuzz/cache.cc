// Fuzz target: the loader of the checksum cache file. The input is decoded
// as a stored file, and again sealed (its digest field appended) so that
// the protobuf parsing behind the digest check is reached too. What decodes
// must encode back to a file that decodes to the same records.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "formats/cache_file.h"
#include "fuzz_support.h"

namespace {

void decode(const std::string& bytes) {
  upd::cache_records_t records;
  try {
    records = upd::decode_cache(bytes);
  } catch (const std::runtime_error& e) {
    FUZZ_CHECK(std::string(e.what()) == "invalid format");
    return;
  }
  FUZZ_CHECK(upd::decode_cache(upd::encode_cache(records)) == records);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  decode(bytes);
  decode(upd::seal_cache(bytes));
  return 0;
}
