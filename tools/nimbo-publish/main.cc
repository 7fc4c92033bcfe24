// nimbo-publish: builds what update servers offer. See nimbo-publish(1).
//   nimbo-publish list --key KEY --source DIR --out DIR [--remove PATTERN]... [--serial N]
//   nimbo-publish drl --key KEY --out FILE [URL]...
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "output_file.h"
#include "publish.h"

namespace {

const char usage[] =
    "usage: nimbo-publish list --key KEY --source DIR --out DIR [--remove PATTERN]... [--serial N]\n"
    "       nimbo-publish drl --key KEY --out FILE [URL]...\n";

struct usage_error {
  std::string text;
};

struct arguments_t {
  std::string command, key, source, out, serial;
  std::vector<std::string> removals, urls;
};

arguments_t parse(int argc, char** argv) {
  arguments_t a;
  if (argc < 2) throw usage_error{"a command is needed"};
  a.command = argv[1];
  if (a.command != "list" && a.command != "drl") throw usage_error{"unknown command \"" + a.command + "\""};
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw usage_error{option + " needs a value"};
      return argv[++i];
    };
    if (option == "--key")
      a.key = value();
    else if (option == "--out")
      a.out = value();
    else if (option == "--source" && a.command == "list")
      a.source = value();
    else if (option == "--remove" && a.command == "list")
      a.removals.push_back(value());
    else if (option == "--serial" && a.command == "list")
      a.serial = value();
    else if (option.starts_with("--") || a.command == "list")
      throw usage_error{"unexpected argument \"" + option + "\""};
    else
      a.urls.push_back(option);
  }
  if (a.key.empty() || a.out.empty() || (a.command == "list" && a.source.empty()))
    throw usage_error{"--key, --out" + std::string(a.command == "list" ? " and --source are" : " are") + " needed"};
  if (a.serial.empty()) a.serial = std::to_string(std::time(nullptr));
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::cout << usage;
    return 0;
  }
  try {
    const arguments_t a = parse(argc, argv);
    const upd::key_file_t key = upd::read_key_file(a.key);
    if (a.command == "list")
      upd::publish::publish_list(key, {a.source, a.out, a.removals, a.serial});
    else
      upd::publish::write_atomically(a.out, upd::publish::drl_text(key, a.urls));
  } catch (const usage_error& e) {
    std::cerr << "nimbo-publish: " << e.text << '\n' << usage;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "nimbo-publish: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
