#include <cstring>
#include <iostream>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "nimbo-update 10.0.0.0.1409222330\n";
    return 0;
  }
  std::cout << "Cannot run standalone. See nimbo-update(1) for details.\n";
  return 0;
}
