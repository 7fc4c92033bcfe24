#include "main/command_line.h"

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/parsers.hpp>
#include <boost/program_options/positional_options.hpp>
#include <boost/program_options/variables_map.hpp>
#include <iostream>

#include "error.pb.h"
#include "common/version.h"
#include "formats/key_tables.h"
#include "formats/list_keys.h"

namespace upd {

namespace po = boost::program_options;

int handle_command_line(int argc, char** argv) {
  po::options_description options("Command line options");
  // clang-format off
  options.add_options()
      ("help,h", "print help message and exit")
      ("version,v", "print version and exit");
  // clang-format on

  // Unique prefixes of long names, any letter case, short letters grouped
  // behind one dash; no slash options.
  const int style =
      po::command_line_style::unix_style | po::command_line_style::long_case_insensitive;
  po::variables_map given;
  try {
    // No positional arguments are declared: any is refused.
    const po::positional_options_description no_positional;
    po::store(po::command_line_parser(argc, argv)
                  .options(options)
                  .positional(no_positional)
                  .style(style)
                  .run(),
              given);
  } catch (const po::unknown_option& e) {
    std::cerr << "nimbo-update: " << e.what() << "\n";
    return nb::EC_UNKNOWN_OPTION;
  } catch (const po::error& e) {
    std::cerr << "nimbo-update: " << e.what() << "\n";
    return nb::EC_INVALID_ARGUMENT;
  }

  if (given.count("help")) {
    std::cout << options << "\n";
  } else if (given.count("version")) {
    // Which publisher a binary trusts, for the administrator of a refused list.
    std::cout << "nimbo-update " << upd_version << "\nDSA key: " << DsaKeyId << "\nEd25519 list keys:";
    for (const auto& key : built_in_list_keys()) std::cout << ' ' << ed25519_key_id(key);
    std::cout << "\n";
  } else {
    std::cout << "Cannot run standalone. See nimbo-update(1) for details.\n";
  }
  return nb::EC_OK;
}

}  // namespace upd
