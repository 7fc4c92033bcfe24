// Whole update attempts of the real program against a real nginx: which
// files are placed, removed and found current, fall-backs between the
// compressed and plain forms and between servers, the failure codes, signed
// lists and broken transfers resumed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <boost/filesystem/operations.hpp>
#include <cstring>
#include <functional>
#include <random>
#include <regex>

#include "formats/list_signature.h"
#include "keyfile/ed25519_key.h"
#include "support/child_process.h"
#include "support/fake_http_server.h"
#include "support/fault_proxy.h"
#include "update/update_run_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;
using strings = std::vector<std::string>;

const files_t sample = {
    {"a.vdb", std::string(70000, 'a')}, {"b.vdb", "new b " + std::string(5000, 'b')}, {"c.vdb", "c content"},
    {"skip.vdb", "excluded"},           {"timestamp", "202612061700"},
};

std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != text.npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class UpdateRun : public UpdateRunTest {
 protected:
  // The sample published with "*.tmp" as removal pattern, and a local zone
  // with one current, one changed, one removable and one unlisted file.
  void SetUp() override {
    UpdateRunTest::SetUp();
    if (IsSkipped()) return;
    write_drl({publish(sample, {"--remove", "*.tmp"})});
    write_file(local_ / "a.vdb", sample.at("a.vdb"));
    write_file(local_ / "b.vdb", "old b");
    write_file(local_ / "old.tmp", "stale");
    write_file(local_ / "notes.txt", "not listed");
    config_.mutable_excluded_files()->add_item("skip*");
  }
  nb::UpdateConfig config_ = config();
};

TEST_F(UpdateRun, PlacesMissedAndChangedFilesRemovesMatchesAndReportsCurrentOnes) {
  // The engine file belongs to BASE like the files of its folder.
  config_.set_core_engine_path((dir_ / "engine" / "c.vdb").string());
  // NBS is installed but its updates are off: it adds nothing to the request.
  config_.set_nbs_installed(true);
  config_.set_nbs_drl_path(drl_.string());
  config_.set_nbs_dir(local_.string());
  std::size_t log_from = nginx_->access_log().size();
  const auto run = this->run(config_);
  expect_staged(run, sample, 3);
  const std::size_t connections = nginx_->connections_since(log_from, "/" + id_ + "/");
  // "timestamp" leads; the rest follow in name order.
  strings placed;
  for (const auto& item : run.request->install().to_place())
    placed.push_back(fs::path(item.destination()).filename().string() + " <- " +
                     fs::relative(item.source(), update_).string());
  EXPECT_EQ(placed, (strings{"timestamp <- bases/timestamp", "b.vdb <- bases/b.vdb", "c.vdb <- bases/c.vdb"}));
  EXPECT_EQ(run.request->install().to_place(2).destination(), config_.core_engine_path());
  EXPECT_EQ(path_names(run.request->install().to_remove()), strings{"old.tmp"});
  EXPECT_EQ(path_names(run.request->install().up_to_date()), strings{"a.vdb"});
  // The component never touches the local files itself.
  EXPECT_EQ(read_file(local_ / "b.vdb"), "old b");
  EXPECT_TRUE(fs::exists(local_ / "old.tmp"));
  // The compressed form is preferred; the excluded and unlisted files are passed over (three placed).
  EXPECT_TRUE(has_line(run, "Downloading " + http_base() + "b.vdb.lzma"));

  // The monitor did not install: a second run finds the staged copies current.
  const auto second = this->run(config_);
  expect_staged(second, sample, 3);
  EXPECT_FALSE(has_line(second, "Downloading " + http_base() + "b.vdb"));
  // Kept connections carry the zone: its list, signature and files over one
  // connection with a single one allowed, over more with the default.
  EXPECT_GE(connections, 2u);
  EXPECT_LE(connections, 4u);
  reset_update_dir();
  config_.set_connections_per_server(1);
  log_from = nginx_->access_log().size();
  expect_staged(this->run(config_), sample, 3);
  EXPECT_EQ(nginx_->connections_since(log_from, "/" + id_ + "/"), 1u) << nginx_->access_log();
}

// Many files over the default connections, the random half published
// plain only: each arrives whole, whatever order the transfers end in.
TEST_F(UpdateRun, ManyFilesOverSeveralConnectionsArriveWhole) {
  files_t files;
  std::mt19937 random(3);
  for (int i = 0; i < 40; ++i) {
    std::string bytes(20000, 't');
    for (auto& c : bytes) c = i % 2 ? static_cast<char>(random()) : c;
    files["f" + std::to_string(i) + ".vdb"] = bytes;
  }
  write_drl({publish(files, {}, "-many")});
  const std::size_t from = nginx_->access_log().size();
  nb::UpdateConfig three = config();
  three.set_connections_per_server(3);
  expect_staged(this->run(three), files, 40);
  EXPECT_EQ(nginx_->connections_since(from, "-many/"), 3u);
  // Each file once, in the form the packed-form index names.
  EXPECT_EQ(count(nginx_->access_log().substr(from), "-many/f"), 40u);
}

// A server that serves one request of a client at a time refuses the
// others with 503: the update goes on over fewer connections.
TEST_F(UpdateRun, AServerServingOneRequestAtATimeIsLeftOneConnection) {
  files_t files;
  std::mt19937 random(5);
  for (int i = 0; i < 8; ++i) {
    std::string bytes(64000, '\0');
    for (auto& c : bytes) c = static_cast<char>(random());
    files["f" + std::to_string(i) + ".vdb"] = bytes;
  }
  write_drl({publish(files, {}, "-one-at-a-time")});
  const auto run = this->run(config());
  expect_staged(run, files, 8);
  EXPECT_NE(nginx_->access_log().find(" 503 "), std::string::npos);
  EXPECT_TRUE(has_line(run, "refused a request beside others (HTTP 503 Service Temporarily Unavailable"));
}

// Servers that fail in turn, HTTPS, the default time-out, and the
// compressed form missing or broken: the plain one stands in. The custom
// server list, while it exists, replaces the standard one.
TEST_F(UpdateRun, FallBacksStillDeliverEveryFile) {
  config_.set_base_custom_drl_path(drl_.string());
  config_.set_base_drl_path((dir_ / "absent.drl").string());
  fs::remove(served() / "c.vdb.lzma");
  write_file(served() / "b.vdb.lzma", "this is not lzma data at all");
  // A copy of the repository whose list no longer matches its signature.
  fs::create_directories(served("-forged"));
  std::string list = read_file(served() / "version.lst");
  list[list.find("c.vdb") + 1] = 'x';
  write_file(served("-forged") / "version.lst", list);
  write_drl({"http://127.0.0.1:" + std::to_string(free_port()) + "/", nginx_->http_url(id_ + "-forged/"),
             nginx_->https_url(id_ + "/")});
  config_.clear_network_timeout();  // thirty seconds, not zero
  // Only the last server can deliver.
  expect_staged(this->run(config_), sample, 3);
  // Listed names ending in ".lzma" are names like any: plain forms are kept as
  // they came, packed ones ("big.lzma.lzma") unpacked.
  const files_t lzma_names = {{"rules.lzma", "r"}, {"big.lzma", std::string(5000, 'r')}};
  write_drl({publish(lzma_names)});
  expect_staged(this->run(config()), lzma_names, 2);
}

// Servers and a proxy that nobody here wrote, each started on its own
// port: a whole update from each, and the request line it logged. Servers
// that know only their own paths refuse the whole URL a proxy gets.
TEST_F(UpdateRun, CommonServersAndProxiesServeAWholeUpdate) {
  const std::string port = std::to_string(free_port()), root = served().string(),
                    lighttpd = (dir_ / "lighttpd.conf").string();
  write_file(lighttpd, "server.document-root = \"" + root + "\"\nserver.port = " + port +
                           "\nserver.bind = \"127.0.0.1\"\nserver.modules = (\"mod_accesslog\")\n"
                           "accesslog.filename = \"" + (dir_ / "server.log").string() +
                           "\"\naccesslog.format = \"%r %k\"\nserver.errorlog = \"/dev/null\"\n");
  write_file(dir_ / "tinyproxy.conf", "User nobody\nGroup nogroup\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                                      "ConnectPort 443\nLogLevel Connect\nPort " + port + "\n");
  const std::string local = "http://127.0.0.1:" + port + "/", listed = "GET /version.lst HTTP/1.1";
  const struct {
    const char* name;
    strings argv;                // empty: the suite's nginx
    std::string server, logged;  // what the DRL names, what the server logs
    bool proxy = false;
  } cases[] = {
      {"python3 http.server", {"python3", "-m", "http.server", "--bind", "127.0.0.1", port, "--directory", root},
       local, "\"" + listed + "\" 200"},
      {"busybox httpd", {"busybox", "httpd", "-f", "-vv", "-p", "127.0.0.1:" + port, "-h", root}, local,
       "url:/version.lst"},
      {"lighttpd", {"lighttpd", "-D", "-f", lighttpd}, local, listed},
      // A body sent in chunks keeps none of their framing.
      {"nginx with chunked bodies", {}, nginx_->http_url(id_ + "-ssi/"), ""},
      {"tinyproxy", {"tinyproxy", "-d", "-c", (dir_ / "tinyproxy.conf").string()}, http_base(),
       "GET " + http_base() + "version.lst HTTP/1.1", true},
  };
  publish(sample, {"--remove", "*.tmp"}, "-ssi");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_update_dir();
    fs::remove(dir_ / "server.log");
    std::optional<child_process_t> server;
    if (!c.argv.empty()) server.emplace(c.argv, dir_ / "server.log");
    ASSERT_TRUE(c.argv.empty() || wait_for_port(std::stoi(port)));
    write_drl({c.server});
    auto config = config_;
    if (c.proxy) {
      config.mutable_proxy()->set_type(nb::Proxy::PROXY_TYPE_HTTP);
      config.mutable_proxy()->set_host("127.0.0.1");
      config.mutable_proxy()->set_port(std::stoi(port));
    }
    expect_staged(this->run(config), sample, 3);
    if (server) server->stop();  // lighttpd writes its log as it stops
    const std::string log = read_file(dir_ / "server.log");
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    // lighttpd logs how many requests its connection carried before (%k):
    // a connection's first is 0, and the requests take at most the default four.
    EXPECT_LE(c.name == std::string("lighttpd") ? count(log, " 0\n") : 0, 4u) << log;
    if (!c.proxy) continue;
    // A tunnel to a port the proxy does not allow is refused, and said so.
    write_drl({nginx_->https_url(id_ + "/")});
    server.emplace(c.argv, dir_ / "server.log");
    ASSERT_TRUE(wait_for_port(std::stoi(port)));
    const auto refused = this->run(config);
    EXPECT_EQ(refused.exit_status, 94);
    EXPECT_TRUE(has_line(refused, "Proxy 127.0.0.1:" + port + " refused CONNECT 127.0.0.1:" +
                                      std::to_string(nginx_->https_port()) + ": 403 "))
        << ::testing::PrintToString(refused.log);
  }
}

// Half-synced mirrors stand in for each other file by file, whichever is
// current; https names the host in the handshake, an address names none.
TEST_F(UpdateRun, MirrorsStandInForEachOthersMissingOrBrokenFiles) {
  const std::string mirror = nginx_->https_url(id_ + "-mirror/", "localhost");
  publish(sample, {"--remove", "*.tmp"}, "-mirror");
  for (const char* form : {"b.vdb", "b.vdb.lzma"}) fs::remove(served() / form);
  for (const char* form : {"c.vdb", "c.vdb.lzma"}) write_file(served("-mirror") / form, "broken");
  write_drl({nginx_->https_url(id_ + "/"), mirror});
  const auto run = this->run(config_);
  expect_staged(run, sample, 3);
  const std::string log = nginx_->access_log();
  EXPECT_NE(log.find("-mirror/b.vdb.lzma proxy_authorization=- sni=localhost server=localhost"),
            std::string::npos) << log;
  EXPECT_NE(log.find("/c.vdb proxy_authorization=- sni=- server=\n"), std::string::npos) << log;
  // Only the file that came from the other server says so.
  EXPECT_EQ(std::count_if(run.log.begin(), run.log.end(), [](auto& l) { return l.find("delivered by") != l.npos; }), 1);
}

// HTTPS with the certificate checked or not: a failed check fails its
// server like any TLS failure, with the reason in the log.
TEST_F(UpdateRun, CertificatesAreCheckedOnlyWhenAsked) {
  const struct {
    const char* host;
    bool verify, with_ca;
    std::string failure;  // "" for none
  } cases[] = {
      {"127.0.0.1", false, false, ""},  // self-signed
      {"127.0.0.2", true, true, ""},
      {"127.0.0.2", true, false, "unable to get local issuer certificate"},  // the system's anchors
      {"localhost", true, true, "hostname mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host + c.failure);
    write_drl({nginx_->https_url(id_ + "/", c.host)});
    config_.set_tls_verify(c.verify);
    config_.set_tls_ca_file(c.with_ca ? nginx_->ca().string() : "");
    const auto run = this->run(config_);
    if (c.failure.empty()) expect_staged(run, sample, 3);
    EXPECT_EQ(run.exit_status, c.failure.empty() ? 0 : 94);
    EXPECT_TRUE(has_line(run, "certificate verify failed: " + c.failure) != c.failure.empty())
        << ::testing::PrintToString(run.log);
  }
}

struct failure_case_t {
  const char* name;
  std::function<void(nb::UpdateConfig&)> arrange;
  int status;
  std::vector<std::string> lines;  // each found in a line of the log
};

TEST_F(UpdateRun, FailuresEndWithTheirCodeAndLeaveTheLocalFiles) {
  const fs::path fifo = dir_ / "fifo" / "c.vdb", staging = update_ / "bases", link = dir_ / "link", open = dir_ / "open";
  fs::create_symlink(update_, link), fs::create_directory(open), fs::permissions(open, fs::perms::all_all);
  const std::string closed = "http://127.0.0.1:" + std::to_string(free_port()) + "/";
  fake_http_server_t terminating([this](fake_peer_t& p) { p.read_head(); ::kill(component_pid_, SIGTERM); p.hold(); });
  const failure_case_t cases[] = {
      {"wrong content in both forms",
       [this](nb::UpdateConfig&) {
         write_file(served() / "c.vdb", "tampered");
         fs::copy_file(served() / "b.vdb.lzma", served() / "c.vdb.lzma", fs::copy_options::overwrite_existing);
       },
       98, {"c.vdb: Invalid checksum"}},  // the Error line names the file and its URL
      // A file passed over is named with its reason at the default level.
      {"a file no server has",
       [&](nb::UpdateConfig& c) {
         c.set_log_level(nb::LOG_LEVEL_NOTICE);
         for (const char* form : {"c.vdb", "c.vdb.lzma"}) fs::remove(served() / form);
       },
       29, {"Notice: Download of c.vdb failed: " + http_base() + "c.vdb: HTTP 404 Not Found",
                  "Error: \"" + (staging / "c.vdb").string() + "\" from " + http_base() + "c.vdb"}},
      {"bad server list",
       [this](nb::UpdateConfig&) {
         std::string drl = read_file(drl_);
         drl[drl.find("url=") + 4] ^= 1;
         write_file(drl_, drl);
       },
       90, {"Error: DRL: "}},
      // The custom list replaces the standard one only while it exists.
      {"absent custom server list",
       [this](nb::UpdateConfig& c) {
         c.set_base_drl_path((dir_ / "standard.drl").string());
         write_file(dir_ / "standard.drl", "not a server list");
         c.set_base_custom_drl_path((dir_ / "absent.drl").string());
       },
       90, {"standard.drl"}},
      // A link, here to the zone's folder, is never written through.
      {"staging folder that is a link", [&](nb::UpdateConfig&) { fs::create_symlink(local_, staging); },
       102, {"Error: UpdateDir creation: \"" + staging.string() + "\": Too many levels of symbolic links"}},
      // Whoever can replace the update folder chooses what the monitor installs.
      {"update folder that its group can write", [&](nb::UpdateConfig&) { fs::permissions(update_, fs::perms(0770)); },
       102, {"Error: Cannot use config: writable by group or others: Operation not permitted: \"" + update_.string()}},
      {"update folder that is a link", [&](nb::UpdateConfig& c) { c.set_update_dir(link.string()); }, 102,
       {"Error: Cannot use config: a symbolic link: "}},
      {"update folder below one that others can write", [&](nb::UpdateConfig& c) { c.set_update_dir(open.string() + "/u"); },
       102, {"Error: Cannot use config: ancestor writable by others: "}},
      // A local file that is a FIFO fails the check instead of blocking it.
      {"local file that is a FIFO",
       [&](nb::UpdateConfig& c) {
         fs::create_directories(fifo.parent_path());
         ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
         c.set_core_engine_path(fifo.string());
       },
       22, {"Error: SHA256: \"" + fifo.string() + "\": open: Invalid argument"}},
      // The Error line names the zone and each server with its reason, visible at Warning.
      {"no server delivers the list",
       [&](nb::UpdateConfig& c) { c.set_log_level(nb::LOG_LEVEL_WARNING); write_drl({closed, http_base() + "x"}); },
       94, {"Error: BASE: no server delivered a valid update list: ", "Warning: BASE: " + closed,
            http_base() + "x/version.lst: HTTP 404 Not Found", closed + "version.lst: Connect 127.0.0.1:"}},
      // A signal while a transfer waits is no failure.
      {"terminated during a transfer", [&](nb::UpdateConfig&) { write_drl({terminating.url()}); }, 107, {}},
  };
  const auto before = tree(local_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_drl({publish(sample, {"--remove", "*.tmp"})});
    reset_update_dir();
    auto config = config_;
    c.arrange(config);
    const auto run = this->run(config);
    EXPECT_EQ(run.exit_status, c.status) << ::testing::PrintToString(run.log);
    EXPECT_FALSE(run.request);
    // One Error line says why (none after a signal); lines of lower levels may add to it.
    std::vector<std::string> errors;
    std::copy_if(run.log.begin(), run.log.end(), back_inserter(errors), [](auto& l) { return l.starts_with("Error"); });
    ASSERT_EQ(errors.size(), c.status == 107 ? 0u : 1u) << ::testing::PrintToString(run.log);
    for (const auto& line : c.lines)
      EXPECT_TRUE(line.starts_with("Notice") || line.starts_with("Warning") ? has_line(run, line)
                                                                            : errors[0].find(line) != line.npos)
          << line << ::testing::PrintToString(run.log);
    EXPECT_EQ(tree(local_), before);
  }
}

// A full disk, a small tmpfs here, ends the run with EC_IO_ERROR, the file
// and the system's words, whether the file arrives or is unpacked.
TEST_F(UpdateRun, AFullDiskEndsTheRunWithAnIoError) {
  if (::mount("tmpfs", update_.c_str(), "tmpfs", 0, "size=256k,mode=0700") != 0)
    GTEST_SKIP() << "no tmpfs can be mounted here (CI runs as root): " << std::strerror(errno);
  const std::shared_ptr<void> unmount(nullptr, [this](void*) { ::umount2(update_.c_str(), MNT_DETACH); });
  write_drl({publish({{"big.vdb", std::string(1 << 20, 'x')}})});
  for (const std::string form : {".lzma", ""}) {
    if (form.empty()) fs::remove(served() / "big.vdb.lzma");
    const auto run = this->run(config_);
    EXPECT_EQ(run.exit_status, 22);
    EXPECT_TRUE(has_line(run, "Error: \"" + (update_ / "bases" / "big.vdb").string() + "\" from " + http_base() +
                                  "big.vdb" + form + ": No space left on device")) << ::testing::PrintToString(run.log);
  }
}

// Update lists with the detached Ed25519 signature, through the real
// program against nginx: what makes a server fail, that a zone once signed
// stays signed, the build that requires signatures.
const std::string dev_key = NIMBO_SOURCE_DIR "/keys/dev-ed25519.pem";
const files_t files = {{"a.vdb", "signed a"}, {"b.vdb", "signed b"}};

strings signed_by(const strings& keys, const std::string& expires = "7d") {
  strings options = {"--serial", "42", "--expires", expires, "--zone", "BASE"};
  for (const auto& key : keys) options.insert(options.end(), {"--sign-key", key});
  return options;
}

// A signature file of the statement, by the development key.
std::string signed_statement(const std::string& statement) {
  const auto pair = read_ed25519_key_file(dev_key);
  return statement + list_signature_line(ed25519_public_key(pair), ed25519_sign(pair, statement));
}

using SignedList = UpdateRunTest;

TEST_F(SignedList, AZoneOnceSignedRefusesUnsignedListsFromThenOn) {
  write_drl({publish(files, {"--serial", "42"})});
  expect_staged(run(), files, 2);

  publish(files, signed_by({dev_key}));
  expect_staged(run(), files, 2);
  // The record keeps when the installed list's signature expires: in seven days.
  const std::string record = read_file(update_ / "nimbo-update.serials");
  const auto at = record.find("BASE 42 signed ");
  ASSERT_NE(at, std::string::npos) << record;
  const auto expires = parse_utc_time(record.substr(at + 15, 20));
  ASSERT_TRUE(expires) << record;
  EXPECT_NEAR(double(*expires - std::time(nullptr)), 7 * 86400, 3600);

  fs::remove(served() / list_signature_name);
  const auto refused = run();
  EXPECT_EQ(refused.exit_status, 94);
  EXPECT_TRUE(has_line(refused, "Warning: BASE: " + http_base() + "version.lst.sig: missing"));
}

TEST_F(SignedList, TheBuildThatRequiresSignaturesRefusesUnsignedListsFromTheStart) {
  write_drl({publish(files)});
  program_ = NIMBO_BINARY_DIR "/tests/nimbo-update-signed-only";
  const auto refused = run();
  EXPECT_EQ(refused.exit_status, 94);
  EXPECT_TRUE(has_line(refused, "Warning: BASE: " + http_base() + "version.lst.sig: missing"));
  publish(files, signed_by({dev_key}));
  expect_staged(run(), files, 2);
}

// Each bad server alone ends the run with its reason; among them, the one
// good server still delivers. What the reader refuses on its own (unknown
// keys, malformed lines) is for its unit tests; these rows check what the
// zone gives it: the list, its serial, the time, and the server's answer.
TEST_F(SignedList, EachFaultOfTheSignatureFailsItsServerAndAGoodOneIsUsed) {
  const std::string good = publish(files, signed_by({dev_key}));
  const std::string list = read_file(served() / "version.lst");
  const std::time_t future = *parse_utc_time("2099-01-01T00:00:00Z");
  const struct {
    const char* suffix;
    std::string signature;  // empty: none, the server answers otherwise
    std::string reason;
  } cases[] = {
      {"-digest", signed_statement(list_statement(list + " ", "42", future, "BASE")), "digest mismatch"},
      {"-serial", signed_statement(list_statement(list, "43", future, "BASE")), "serial mismatch"},
      // Another zone's list and signature, served at this zone's URL.
      {"-zone", signed_statement(list_statement(list, "42", future, "VERSION")), "zone mismatch: signed for VERSION"},
      {"-expired", signed_statement(list_statement(list, "42", 1000000000, "BASE")), "expired on 2001-09-09T01:46:40Z"},
      {"-huge", std::string(10 << 20, 'x'), "too large"},
      {"-500", "", "HTTP 500 Internal Server Error"},
  };
  strings servers;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.suffix);
    fs::create_directories(served(c.suffix));
    fs::copy_file(served() / "version.lst", served(c.suffix) / "version.lst");
    if (!c.signature.empty()) write_file(served(c.suffix) / list_signature_name, c.signature);
    servers.push_back(nginx_->http_url(id_ + c.suffix + "/"));
    write_drl({servers.back()});
    const auto refused = run();
    EXPECT_EQ(refused.exit_status, 94);
    EXPECT_TRUE(has_line(refused, "Warning: BASE: " + servers.back() + "version.lst.sig: " + c.reason))
        << ::testing::PrintToString(refused.log);
  }
  servers.push_back(good);
  write_drl(servers);
  expect_staged(run(), files, 2);
}

// The bytes a run received, as its log sums them up.
std::uint64_t received(const run_result_t& run) {
  for (const auto& line : run.log)
    if (const auto at = line.find(", received "); line.starts_with("Debug: Network usage") && at != line.npos)
      return std::stoull(line.substr(at + 11));
  return UINT64_MAX;
}

// The conditional requests for the lists under path that nginx answered with status.
std::size_t conditional_answers(const std::string& access_log, const std::string& status, const std::string& path) {
  return count(access_log, status + " if_none_match=\\x22") -
         count(std::regex_replace(access_log, std::regex(".* " + path + "/version.*"), ""),
               status + " if_none_match=\\x22");
}

// The list a run installed is kept, and the next run asks whether it
// changed: a 304 puts the kept copy through every check a fresh one gets,
// so neither a mirror that answers 304 nor a hand that edits the copy can
// freeze a zone or slip a list in.
TEST_F(SignedList, AnUnchangedListCostsItsHeadsAndItsKeptCopyIsCheckedAgain) {
  const std::string good = publish(files, signed_by({dev_key}));
  write_drl({good});
  expect_staged(run(), files, 2);
  const auto unchanged = run();
  expect_staged(unchanged, files, 2);
  EXPECT_LE(received(unchanged), 1024u) << ::testing::PrintToString(unchanged.log);
  EXPECT_EQ(conditional_answers(nginx_->access_log(), "304", "/" + id_), 2u) << nginx_->access_log();

  const fs::path kept = update_ / "nimbo-update.kept-BASE";
  const std::string copy = read_file(kept), list = read_file(served() / "version.lst"),
                    signature = read_file(served() / list_signature_name),
                    expired = signed_statement(list_statement(list, "42", 1000000000, "BASE"));
  std::string altered = copy;
  altered[altered.find(list) + list.size() / 2] ^= 1;
  std::string stale = copy;
  stale.replace(stale.find(signature), signature.size(), expired);
  const std::string size_field = "signature " + std::to_string(signature.size());
  stale.replace(stale.find(size_field), size_field.size(), "signature " + std::to_string(expired.size()));
  fake_http_server_t stranger([](fake_peer_t& p) { p.read_head(); p.send("HTTP/1.1 304 Not Modified\r\n\r\n"); });
  const struct {
    const char* name;
    std::string kept, server, reason;
  } cases[] = {
      {"kept list altered", altered, good, "version.lst: Invalid signature"},
      {"kept signature expired", stale, good, "version.lst.sig: expired on 2001-09-09T01:46:40Z"},
      {"304 from a server that never served this client", copy, stranger.url(), "version.lst: HTTP 304 Not Modified"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(kept, c.kept);
    write_drl({c.server});
    const auto refused = run();
    EXPECT_EQ(refused.exit_status, 94);
    EXPECT_TRUE(has_line(refused, "Warning: BASE: " + c.server + c.reason)) << ::testing::PrintToString(refused.log);
  }
  // A changed list is asked for conditionally, comes whole and is installed.
  write_file(kept, copy);
  write_drl({good});
  const files_t changed = {{"a.vdb", "signed a, changed"}, {"b.vdb", "signed b"}};
  publish(changed, {"--serial", "43", "--expires", "7d", "--zone", "BASE", "--sign-key", dev_key});
  expect_staged(run(), changed, 2);
  EXPECT_EQ(conditional_answers(nginx_->access_log(), "200", "/" + id_), 1u) << nginx_->access_log();
}

// A server that answers 429 with Retry-After is left alone until then, in
// this run and the next ones; with no other server the run ends at once.
TEST_F(SignedList, AServerThatAsksToWaitIsLeftAloneUntilThen) {
  const std::string good = publish(files, signed_by({dev_key})), busy = nginx_->http_url(id_ + "-429/");
  write_drl({busy});
  const auto asked = run();
  EXPECT_EQ(asked.exit_status, 94);
  const std::string warning = "Warning: BASE: " + busy + "version.lst: asked to wait until ";
  const auto line = std::find_if(asked.log.begin(), asked.log.end(), [&](auto& l) { return l.starts_with(warning); });
  ASSERT_NE(line, asked.log.end()) << ::testing::PrintToString(asked.log);
  const std::string until = line->substr(warning.size(), utc_time_size);
  EXPECT_NEAR(double(parse_utc_time(until).value_or(0) - std::time(nullptr)), 120, 10);
  const std::size_t asked_once = count(nginx_->access_log(), "-429/");
  write_drl({busy, good});
  expect_staged(run(), files, 2);
  // The zone delivered again: only the server's own wait is left.
  EXPECT_EQ(read_file(update_ / "nimbo-update.waits"), "nimbo-update waits 1\nBASE " + until + " " + busy + "\nend\n");
  write_drl({busy});
  const auto waiting = run();
  EXPECT_EQ(waiting.exit_status, 94);
  EXPECT_TRUE(has_line(waiting, "Error: BASE: every server asked to wait, the first until " + until))
      << ::testing::PrintToString(waiting.log);
  EXPECT_EQ(count(nginx_->access_log(), "-429/"), asked_once);
  // So does a server that asks it for a file: the zone's other files pass it over too.
  const std::string files_busy = publish(files, signed_by({dev_key}), "-busy");
  write_drl({files_busy});
  reset_update_dir();
  const auto refused = run();
  EXPECT_EQ(refused.exit_status, 94);
  EXPECT_TRUE(has_line(refused, "Warning: BASE: " + files_busy + ": asked to wait until ")) << ::testing::PrintToString(refused.log);
  EXPECT_TRUE(has_line(refused, "\": every server asked to wait, the first until ")) << ::testing::PrintToString(refused.log);
  EXPECT_EQ(count(nginx_->access_log(), "503 if_none_match=- /" + id_ + "-busy/"), 1u);
}

// A 64 MiB file whose transfers break, through a relay in front of nginx
// that cuts them every few MiB, or half of it left by an earlier run that
// was killed, as is or altered since. Each ends with the right file staged,
// no partial file left, and no more bytes received than its bound allows.
constexpr std::uint64_t mib = 1 << 20, size = 64 * mib;

using ResumeRun = UpdateRunTest;

TEST_F(ResumeRun, BrokenTransfersCompleteWithoutFetchingTheFileAgain) {
  // Random bytes of a prime period, so that a piece joined at a wrong offset
  // shows; the compressed form goes, so that all of them travel.
  std::mt19937 random(7);
  std::string period(4093, '\0'), data;
  for (auto& c : period) c = static_cast<char>(random());
  while (data.size() < size) data += period;
  data.resize(size);
  const files_t files = {{"big.vdb", data}};
  publish(files);
  fs::remove(served() / "big.vdb.lzma");
  const fs::path staging = update_ / "bases";
  const struct {
    const char* name;
    std::uint64_t cut_every, left;  // the partial file's bytes at the start
    bool altered;
    double most;  // the bytes received over the file's size
    const char* line;
  } cases[] = {
      {"cut every 8 MiB", 8 * mib, 0, false, 1.15, "Debug: Resuming "},
      {"half left by a killed run", 0, size / 2, false, 0.6, "Debug: Resuming "},
      {"half left, altered since", 0, size / 2, true, 1.6, "; fetching it afresh"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_update_dir();
    fs::create_directory(staging);
    if (c.left) {
      std::string bytes = data.substr(0, c.left);
      bytes[size / 4] ^= c.altered;
      write_file(staging / "big.vdb-partial", bytes);
    }
    // Partial files of names the list does not hold go at the end, and so do
    // unpack temporaries and staged files that no listed file wants.
    for (const char* name : {"gone.vdb.lzma-partial", "gone.vdb", "big.vdb-unpacking"}) write_file(staging / name, "old");
    fault_proxy_t proxy(nginx_->http_port(), c.cut_every);
    write_drl({proxy.url(id_ + "/")});
    const auto run = this->run();
    expect_staged(run, files, 1);
    EXPECT_TRUE(has_line(run, c.line)) << ::testing::PrintToString(run.log);
    EXPECT_EQ(tree(staging).size(), 1u);
    EXPECT_LE(proxy.passed(), c.most * size);
  }
}

}  // namespace
}  // namespace upd::testing
