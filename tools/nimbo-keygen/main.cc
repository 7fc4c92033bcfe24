// nimbo-keygen OUT: creates a new 512/160-bit group and key pair and writes
// it as a key file (p=, q=, g=, y=, x=). See nimbo-keygen(1).
#include <cstring>
#include <iostream>

#include "keyfile/key_file.h"

int main(int argc, char** argv) {
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::cout << "usage: nimbo-keygen OUT\nWrites a new signing key (group and key pair) into the new file OUT.\n";
    return 0;
  }
  if (argc != 2 || argv[1][0] == '-') {
    std::cerr << "usage: nimbo-keygen OUT\n";
    return 2;
  }
  try {
    upd::write_key_file(argv[1], upd::generate_key());
  } catch (const std::exception& e) {
    std::cerr << "nimbo-keygen: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
