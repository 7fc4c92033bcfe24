// nimbo-keygen: makes and inspects the publisher's keys. See nimbo-keygen(1).
//   nimbo-keygen OUT                   a new DSA key file (p=, q=, g=, y=, x=)
//   nimbo-keygen --ed25519 OUT         a new Ed25519 private key (PEM)
//   nimbo-keygen --public KEY OUT      the public half of either kind
//   nimbo-keygen --fingerprint KEY     the key's id
//   nimbo-keygen --version
#include <iostream>
#include <string>
#include <vector>

#include "common/version.h"
#include "keyfile/ed25519_key.h"
#include "keyfile/key_file.h"

namespace {

struct form_t {
  const char* synopsis;
  const char* purpose;
};

const form_t forms[] = {
    {"nimbo-keygen OUT", "Writes a new signing key (group and key pair) into the new file OUT."},
    {"nimbo-keygen --ed25519 OUT",
     "Writes a new Ed25519 private key for list signatures (PEM) into the new file OUT."},
    {"nimbo-keygen --public KEY OUT",
     "Writes the public half of the key file KEY (either kind) into the new file OUT."},
    {"nimbo-keygen --fingerprint KEY",
     "Prints the id of the key in KEY (either kind, private or public)."},
    {"nimbo-keygen --version", "Prints the version."},
};

std::string usage(bool with_purpose) {
  std::string text;
  for (const form_t& form : forms) {
    text += std::string(text.empty() ? "usage: " : "   or: ") + form.synopsis + "\n";
    if (with_purpose) text += std::string(form.purpose) + "\n";
  }
  return text;
}

std::string key_id(const std::string& path) {
  if (upd::is_pem_text(upd::read_key_text(path)))
    return upd::ed25519_key_id(upd::ed25519_public_key(upd::read_ed25519_key_file(path)));
  return upd::dsa_key_id(upd::read_key_file(path));
}

void write_public_half(const std::string& in, const std::string& out) {
  if (upd::is_pem_text(upd::read_key_text(in))) {
    upd::write_ed25519_public_file(out, upd::read_ed25519_key_file(in));
  } else {
    upd::key_file_t key = upd::read_key_file(in);
    key.x.reset();
    upd::write_key_file(out, key);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << usage(true);
    return 0;
  }
  if (args.size() == 1 && args[0] == "--version") {
    std::cout << "nimbo-keygen " << upd::upd_version << '\n';
    return 0;
  }
  try {
    if (args.size() == 1 && !args[0].starts_with("-"))
      upd::write_key_file(args[0], upd::generate_key());
    else if (args.size() == 2 && args[0] == "--ed25519" && !args[1].starts_with("-"))
      upd::write_ed25519_private_file(args[1], upd::generate_ed25519_key());
    else if (args.size() == 3 && args[0] == "--public")
      write_public_half(args[1], args[2]);
    else if (args.size() == 2 && args[0] == "--fingerprint")
      std::cout << key_id(args[1]) << '\n';
    else {
      std::cerr << usage(false);
      return 2;
    }
  } catch (const std::exception& e) {
    std::cerr << "nimbo-keygen: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
