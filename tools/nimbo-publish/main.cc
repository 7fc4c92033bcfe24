// nimbo-publish: builds what update servers offer. See nimbo-publish(1).
//   nimbo-publish list --key KEY --source DIR --out DIR [--remove PATTERN]... [--serial N]
//                      [--allow-lower-serial] [--sign-key PEM... --expires WHEN --zone ZONE]
//                      [--history DIR [--keep N]]
//   nimbo-publish resign --out DIR --sign-key PEM [--sign-key PEM]... --expires WHEN
//   nimbo-publish drl --key KEY --out FILE [URL]...
//   nimbo-publish mirror --from URL --out DIR --key KEY [--list-key PEM]...
//                        [--proxy HOST:PORT [--proxy-user USER]]
//                        [--tls-verify [--tls-ca-file PEM]]
//   nimbo-publish --version
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "common/version.h"
#include "expiry.h"
#include "formats/list_signature.h"
#include "keyfile/ed25519_key.h"
#include "mirror.h"
#include "output_file.h"
#include "publish.h"
#include "update/list_serials.h"

namespace {

const char usage[] =
    "usage: nimbo-publish list --key KEY --source DIR --out DIR [--remove PATTERN]... [--serial "
    "N]\n"
    "                          [--allow-lower-serial] [--sign-key PEM... --expires WHEN --zone ZONE]\n"
    "                          [--history DIR [--keep N]]\n"
    "       nimbo-publish resign --out DIR --sign-key PEM [--sign-key PEM]... --expires WHEN\n"
    "       nimbo-publish drl --key KEY --out FILE [URL]...\n"
    "       nimbo-publish mirror --from URL --out DIR --key KEY [--list-key PEM]...\n"
    "                            [--proxy HOST:PORT [--proxy-user USER]]\n"
    "                            [--tls-verify [--tls-ca-file PEM]]\n"
    "       nimbo-publish --version\n"
    "ZONE is BASE, VERSION or NBS.\n"
    "WHEN is a span from now (7d, 12h, 30m, 90s) or a UTC time YYYY-MM-DDTHH:MM:SSZ.\n"
    "The proxy password is read from the environment variable NIMBO_PROXY_PASSWORD.\n";

const char proxy_password_variable[] = "NIMBO_PROXY_PASSWORD";

struct usage_error {
  std::string text;
};

struct arguments_t {
  std::string command, key, source, out, serial, expires, zone, from, proxy, proxy_user, tls_verify,
      tls_ca_file, allow_lower_serial, history, keep;
  std::vector<std::string> removals, sign_keys, urls, list_keys;
};

struct option_t {
  const char* name;
  std::vector<std::string> commands;
  std::string arguments_t::*value;
  std::vector<std::string> arguments_t::*values;  // for options given again and again
  bool flag = false;  // takes no value: value becomes "on"
};

const option_t options[] = {
    {"--key", {"list", "drl", "mirror"}, &arguments_t::key, nullptr},
    {"--out", {"list", "resign", "drl", "mirror"}, &arguments_t::out, nullptr},
    {"--from", {"mirror"}, &arguments_t::from, nullptr},
    {"--proxy", {"mirror"}, &arguments_t::proxy, nullptr},
    {"--proxy-user", {"mirror"}, &arguments_t::proxy_user, nullptr},
    {"--list-key", {"mirror"}, nullptr, &arguments_t::list_keys},
    {"--tls-verify", {"mirror"}, &arguments_t::tls_verify, nullptr, true},
    {"--tls-ca-file", {"mirror"}, &arguments_t::tls_ca_file, nullptr},
    {"--source", {"list"}, &arguments_t::source, nullptr},
    {"--serial", {"list"}, &arguments_t::serial, nullptr},
    {"--allow-lower-serial", {"list"}, &arguments_t::allow_lower_serial, nullptr, true},
    {"--expires", {"list", "resign"}, &arguments_t::expires, nullptr},
    {"--zone", {"list"}, &arguments_t::zone, nullptr},
    {"--remove", {"list"}, nullptr, &arguments_t::removals},
    {"--sign-key", {"list", "resign"}, nullptr, &arguments_t::sign_keys},
    {"--history", {"list"}, &arguments_t::history, nullptr},
    {"--keep", {"list"}, &arguments_t::keep, nullptr},
};

const struct {
  const char* command;
  std::vector<std::string> needed;
} commands[] = {
    {"list", {"--key", "--out", "--source"}},
    {"resign", {"--out", "--sign-key", "--expires"}},
    {"drl", {"--key", "--out"}},
    {"mirror", {"--from", "--out", "--key"}},
};

// "A, B and C are needed", or "A is needed".
std::string needed_text(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i)
    text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  return text + (names.size() == 1 ? " is needed" : " are needed");
}

arguments_t parse(int argc, char** argv) {
  arguments_t a;
  if (argc < 2) throw usage_error{"a command is needed"};
  a.command = argv[1];
  const auto command = std::find_if(std::begin(commands), std::end(commands),
                                    [&](const auto& c) { return a.command == c.command; });
  if (command == std::end(commands)) throw usage_error{"unknown command \"" + a.command + "\""};
  std::vector<std::string> given;
  for (int i = 2; i < argc; ++i) {
    const std::string name = argv[i];
    const auto option =
        std::find_if(std::begin(options), std::end(options), [&](const option_t& o) {
          return name == o.name && std::count(o.commands.begin(), o.commands.end(), a.command);
        });
    if (option == std::end(options)) {
      if (name.starts_with("--") || a.command != "drl")
        throw usage_error{"unexpected argument \"" + name + "\""};
      a.urls.push_back(name);
      continue;
    }
    if (i + 1 >= argc && !option->flag) throw usage_error{name + " needs a value"};
    if (option->flag)
      a.*option->value = "on";
    else if (option->value)
      a.*option->value = argv[++i];
    else
      (a.*option->values).push_back(argv[++i]);
    given.push_back(name);
  }
  std::vector<std::string> missing;
  for (const auto& name : command->needed)
    if (!std::count(given.begin(), given.end(), name)) missing.push_back(name);
  if (!missing.empty()) throw usage_error{needed_text(missing)};
  // A signature without an end date would vouch for a frozen mirror forever.
  if (a.sign_keys.empty() != a.expires.empty())
    throw usage_error{"--sign-key and --expires go together"};
  // The signed statement names the zone, so that no other zone accepts the list.
  if (a.command == "list" && a.sign_keys.empty() != a.zone.empty())
    throw usage_error{"--sign-key and --zone go together"};
  if (!a.zone.empty() && !upd::is_list_zone(a.zone))
    throw usage_error{"\"" + a.zone + "\": a zone is BASE, VERSION or NBS"};
  if (!a.proxy_user.empty() && a.proxy.empty()) throw usage_error{"--proxy-user needs --proxy"};
  if (!a.tls_ca_file.empty() && a.tls_verify.empty()) throw usage_error{"--tls-ca-file needs --tls-verify"};
  if (!a.keep.empty() && a.history.empty()) throw usage_error{"--keep needs --history"};
  if (!a.keep.empty() && (a.keep.size() > 4 || a.keep.find_first_not_of("0123456789") != std::string::npos ||
                          std::stoul(a.keep) == 0))
    throw usage_error{"--keep takes a count from 1 to 9999"};
  return a;
}

upd::key_file_t read_private_key_file(const std::string& path) {
  upd::key_file_t key = upd::read_key_file(path);
  if (!key.x) throw std::runtime_error(path + ": the key file holds no private part (x=)");
  return key;
}

std::vector<upd::ed25519_key_file_t> read_sign_keys(const std::vector<std::string>& paths) {
  std::vector<upd::ed25519_key_file_t> keys;
  for (const auto& path : paths) {
    keys.push_back(upd::read_ed25519_key_file(path));
    if (!keys.back().has_private) throw std::runtime_error(path + ": a public key cannot sign");
  }
  return keys;
}

// A password on the command line would show in every process listing.
nb::Proxy proxy_settings(const arguments_t& a) {
  nb::Proxy proxy;
  proxy.set_type(nb::Proxy::PROXY_TYPE_NONE);
  if (a.proxy.empty()) return proxy;
  const auto colon = a.proxy.rfind(':');
  const std::string port = colon == std::string::npos ? "" : a.proxy.substr(colon + 1);
  if (colon == 0 || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(port) == 0 || std::stoul(port) > 65535)
    throw usage_error{"--proxy takes HOST:PORT"};
  proxy.set_type(nb::Proxy::PROXY_TYPE_HTTP);
  const std::string host = a.proxy.substr(0, colon);
  // An IPv6 address is written in brackets, which the resolver does not take.
  proxy.set_host(host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host);
  proxy.set_port(static_cast<std::uint32_t>(std::stoul(port)));
  if (a.proxy_user.empty()) return proxy;
  const char* password = std::getenv(proxy_password_variable);
  if (!password) throw usage_error{std::string("--proxy-user needs the password in ") + proxy_password_variable};
  proxy.set_user(a.proxy_user);
  proxy.set_password(password);
  return proxy;
}

void mirror(const arguments_t& a, std::time_t now) {
  upd::publish::mirror_options_t options{a.from, a.out, {}, proxy_settings(a), now, {!a.tls_verify.empty(), a.tls_ca_file}};
  for (const auto& path : a.list_keys)
    options.list_keys.push_back(upd::ed25519_public_key(upd::read_ed25519_key_file(path)));
  const auto result = upd::publish::mirror_repository(upd::read_key_file(a.key), options);
  std::cout << "version.lst " << result.serial;
  if (result.list_changed)
    std::cout << " mirrored (fetched: " << result.fetched << ", removed: " << result.removed << ")";
  else
    std::cout << (result.signature_changed ? " unchanged, version.lst.sig renewed" : " unchanged");
  std::cout << (result.zone.empty() ? "" : " for zone " + result.zone) << " from " << a.from << '\n';
}

void list(const arguments_t& a, const upd::publish::list_signing_t& signing, std::time_t now) {
  const std::string serial = a.serial.empty() ? std::to_string(now) : a.serial;
  const upd::key_file_t key = read_private_key_file(a.key);
  const auto result =
      upd::publish::publish_list(key, {a.source, a.out, a.removals, serial, signing, !a.allow_lower_serial.empty(),
                                       a.history, a.keep.empty() ? 7 : std::stoul(a.keep)});
  if (!result.lowered_from.empty())
    std::cerr << "Warning: serial " << serial << " is below the published " << result.lowered_from
              << ": clients that took that list refuse this one until their serial record \""
              << upd::list_serials_name << "\" is deleted\n";
  std::cout << "version.lst " << serial << " published (files: " << result.files
            << ", DSA key: " << upd::dsa_key_id(key) << ")";
  if (!signing.keys.empty())
    std::cout << ", " << upd::list_signature_name << ": " << upd::publish::signing_summary(signing);
  std::cout << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::cout << usage;
    return 0;
  }
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::cout << "nimbo-publish " << upd::upd_version << '\n';
    return 0;
  }
  try {
    const arguments_t a = parse(argc, argv);
    const std::time_t now = std::time(nullptr);
    // Every key and input is checked before the first file is written.
    upd::publish::list_signing_t signing{read_sign_keys(a.sign_keys), 0, a.zone};
    if (!a.expires.empty()) signing.expires = upd::publish::parse_expiry(a.expires, now);
    if (a.command == "resign") {
      std::cout << upd::publish::resign_list(a.out, signing) << '\n';
    } else if (a.command == "list") {
      list(a, signing, now);
    } else if (a.command == "mirror") {
      mirror(a, now);
    } else {
      upd::publish::write_atomically(a.out,
                                     upd::publish::drl_text(read_private_key_file(a.key), a.urls));
    }
  } catch (const usage_error& e) {
    std::cerr << "nimbo-publish: " << e.text << '\n' << usage;
    return 2;
  } catch (const std::filesystem::filesystem_error& e) {
    // Its own text ("filesystem error: directory iterator cannot open
    // directory: ...") speaks of the library, not of the folder.
    std::cerr << "nimbo-publish: " << e.path1().string() << ": " << e.code().message() << '\n';
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "nimbo-publish: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
