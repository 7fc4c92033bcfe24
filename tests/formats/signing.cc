#include "formats/signing.h"

#include "keyfile/key_file.h"
#include "keyfile/signer.h"

namespace upd::testing {
namespace {

const key_file_t& test_key() {
  static const key_file_t key = read_key_file(NIMBO_TEST_KEY);
  return key;
}

}  // namespace

bool can_sign() { return test_key().x != nullptr; }

std::string signature_of(std::string_view bytes) { return sign_text(test_key(), bytes); }

}  // namespace upd::testing
