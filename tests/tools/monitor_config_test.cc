#include "monitor_config.h"

#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "expect_config_error.h"
#include "config_reflection.h"

namespace upd::monitor {
namespace {

nb::UpdateConfig load(const std::string& text, bool terminal = false) {
  return config_from_ini(parse_ini(text, "t.ini"), terminal);
}

std::string text_of(const google::protobuf::Message& message) {
  std::string text;
  google::protobuf::TextFormat::PrintToString(message, &text);
  return text;
}

TEST(ConfigFromIni, FillsEveryKindOfOptionFromAllSections) {
  const nb::UpdateConfig config = load(
      "[Update]\n"
      "LogLevel = Warning\n"
      "LogType = File\n"
      "LogPath = /var/log/nimbo-update.log\n"
      "LogFacility = local3\n"
      "LogShowTimestamp = Yes\n"
      "ExePath = /opt/nimbo/bin/nimbo-update\n"
      "UpdateInterval = 1h30m\n"
      "NetworkTimeout = 250ms\n"
      "ProxyType = http\n"
      "ProxyHost = 127.0.0.1\n"
      "ProxyPort = 3128\n"
      "ProxyUser = joe\n"
      "ProxyPassword = s3cret\n"
      "ExcludedFiles = *.bak\n"
      "ExcludedFiles = \"keep me*\"\n"
      "BaseUpdateEnabled = On\n"
      "BaseDrlPath = /etc/nimbo/base.drl\n"
      "BaseCustomDrlPath =\n"
      "VersionUpdateEnabled = off\n"
      "VersionDrlPath = /etc/nimbo/version.drl\n"
      "NbsUpdateEnabled = TRUE\n"
      "NbsDrlPath = /etc/nimbo/nbs.drl\n"
      "NbsCustomDrlPath = /etc/nimbo/custom-nbs.drl\n"
      "[Root]\n"
      "VirusBaseDir = /var/lib/nimbo/bases\n"
      "EnginePath = /var/lib/nimbo/engine/libcore.so\n"
      "VersionDir = /var/lib/nimbo/version\n"
      "NbsDir = /var/lib/nimbo/nbs\n"
      "[Monitor]\n"
      "UpdateDir = /var/tmp/upd\n"
      "SystemHash = abc123\n"
      "InstalledApplications = Scanner 10\n"
      "NbsInstalled = Off\n");
  EXPECT_EQ(text_of(config),
            "log_level: LOG_LEVEL_WARNING\n"
            "log {\n  type: FILE\n  facility: LOCAL3\n  path: \"/var/log/nimbo-update.log\"\n"
            "  show_timestamp: true\n}\n"
            "exe_path: \"/opt/nimbo/bin/nimbo-update\"\n"
            "update_interval: 5400000\n"
            "network_timeout: 250\n"
            "proxy {\n  type: PROXY_TYPE_HTTP\n  host: \"127.0.0.1\"\n  port: 3128\n  user: \"joe\"\n"
            "  password: \"s3cret\"\n}\n"
            "excluded_files {\n  item: \"*.bak\"\n  item: \"keep me*\"\n}\n"
            "base_update_enabled: true\n"
            "base_drl_path: \"/etc/nimbo/base.drl\"\n"
            "base_custom_drl_path: \"\"\n"
            "version_update_enabled: false\n"
            "version_drl_path: \"/etc/nimbo/version.drl\"\n"
            "nbs_update_enabled: true\n"
            "nbs_drl_path: \"/etc/nimbo/nbs.drl\"\n"
            "nbs_custom_drl_path: \"/etc/nimbo/custom-nbs.drl\"\n"
            "actual_log {\n  type: FILE\n  facility: LOCAL3\n  path: \"/var/log/nimbo-update.log\"\n"
            "  show_timestamp: true\n}\n"
            "update_dir: \"/var/tmp/upd\"\n"
            "core_engine_path: \"/var/lib/nimbo/engine/libcore.so\"\n"
            "virus_base_dir: \"/var/lib/nimbo/bases\"\n"
            "version_dir: \"/var/lib/nimbo/version\"\n"
            "nbs_dir: \"/var/lib/nimbo/nbs\"\n"
            "system_hash: \"abc123\"\n"
            "base_installed: true\n"
            "version_installed: true\n"
            "nbs_installed: false\n"
            "installed_applications: \"Scanner 10\"\n");
}

TEST(ConfigFromIni, AnEmptyFileGetsTheDefaults) {
  EXPECT_EQ(text_of(load("")),
            "log_level: LOG_LEVEL_NOTICE\n"
            "update_interval: 3600000\n"
            "network_timeout: 60000\n"
            "base_update_enabled: true\n"
            "version_update_enabled: true\n"
            "nbs_update_enabled: true\n"
            "actual_log {\n  type: STDERR\n}\n"
            "update_dir: \"/var/lib/nimbo/update\"\n"
            "base_installed: false\n"
            "version_installed: false\n"
            "nbs_installed: false\n");
}

TEST(ConfigFromIni, MatchesNamesInAnyCaseTakesEnumNamesAndEmptyLists) {
  const nb::UpdateConfig config =
      load("[update]\nloglevel = LOG_LEVEL_INFO\nproxytype = PROXY_TYPE_NONE\nExcludedFiles =\n");
  EXPECT_EQ(config.log_level(), nb::LOG_LEVEL_INFO);
  EXPECT_TRUE(config.has_proxy());
  EXPECT_EQ(config.proxy().type(), nb::Proxy::PROXY_TYPE_NONE);
  EXPECT_TRUE(config.has_excluded_files());
  EXPECT_EQ(config.excluded_files().item_size(), 0);
}

TEST(ConfigFromIni, ResolvesAutoLogByWhetherStandardErrorIsATerminal) {
  EXPECT_EQ(load("[Update]\nLogType = Auto\n", true).actual_log().type(), nb::Log::STDERR);
  const nb::UpdateConfig daemon = load("[Update]\nLogType = Auto\nLogIdent = upd\n", false);
  EXPECT_EQ(daemon.actual_log().type(), nb::Log::SYSLOG);
  EXPECT_EQ(daemon.actual_log().ident(), "upd");
  EXPECT_EQ(daemon.log().type(), nb::Log::AUTO);
}

TEST(ConfigFromIni, MistakesNameTheLineAndTheOption) {
  const testing::config_case_t cases[] = {
      {"[Update]\nBogus = 1\n", nb::EC_UNKNOWN_OPTION, "t.ini:2: Update.Bogus: Unknown option"},
      {"[Root]\nUpdateDir = /x\n", nb::EC_UNKNOWN_OPTION, "t.ini:2: Root.UpdateDir: Unknown option"},
      {"[Update]\nLog = Stderr\n", nb::EC_UNKNOWN_OPTION, "t.ini:2: Update.Log: Unknown option"},
      {"[Scanner]\nX = 1\n", nb::EC_UNKNOWN_SECTION, "t.ini:2: [Scanner]: Unknown section"},
      {"[Update]\nNetworkTimeout = 3x\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.NetworkTimeout = \"3x\": Invalid option value: expected a time span such as 30s, 5m or "
       "250ms"},
      {"[Update]\nNetworkTimeout = 50d\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.NetworkTimeout = \"50d\": Invalid option value: out of range (at most 4294967295) ms"},
      {"[Update]\n\nBaseDrlPath = etc/base.drl\n", nb::EC_NOT_ABSOLUTE_PATH,
       "t.ini:3: Update.BaseDrlPath = \"etc/base.drl\": Path must be absolute"},
      {"[Root]\nVirusBaseDir = bases\n", nb::EC_NOT_ABSOLUTE_PATH,
       "t.ini:2: Root.VirusBaseDir = \"bases\": Path must be absolute"},
      {"[Update]\nLogLevel = Loud\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.LogLevel = \"Loud\": Invalid option value: expected one of Debug, Info, Notice, Warning, "
       "Error"},
      {"[Update]\nProxyType = Socks\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.ProxyType = \"Socks\": Invalid option value: expected one of NONE, HTTP"},
      {"[Update]\nProxyPort = 99999999999\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.ProxyPort = \"99999999999\": Invalid option value: out of range (at most 4294967295)"},
      {"[Update]\nBaseUpdateEnabled = maybe\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.BaseUpdateEnabled = \"maybe\": Invalid option value: expected On or Off"},
      {"[Update]\nLogLevel = Info\nloglevel = Debug\n", nb::EC_NOT_LIST_OPTION,
       "t.ini:3: Update.LogLevel: Only one value allowed (first given on line 2)"},
      {"[Update]\nProxyHost = 127.0.0.1\nProxyPort = 3128\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.ProxyType is required with the other Update.Proxy* options"},
      {"[Update]\nLogPath = /var/log/u.log\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.LogType is required with the other Update.Log* options"},
  };
  for (const auto& c : cases) testing::expect_config_error([&] { load(c.text); }, c.code, c.message);
}

// UpdateConfig has no SIZE field; a message built at run time with one shows
// that the hint is honoured for any message.
TEST(ApplyEntries, ReadsSizesWhereTheHintSaysSo) {
  namespace pb = google::protobuf;
  pb::DescriptorPool pool(pb::DescriptorPool::generated_pool());
  pb::FileDescriptorProto file;
  file.set_name("sized.proto");
  file.set_package("t");
  file.add_dependency("annotation.proto");
  auto* type = file.add_message_type();
  type->set_name("Sized");
  auto* field = type->add_field();
  field->set_name("cache_limit");
  field->set_number(1);
  field->set_label(pb::FieldDescriptorProto::LABEL_OPTIONAL);
  field->set_type(pb::FieldDescriptorProto::TYPE_UINT64);
  field->mutable_options()->SetExtension(nb::hint, nb::SIZE);
  const pb::FileDescriptor* built = pool.BuildFile(file);
  ASSERT_NE(built, nullptr);
  pb::DynamicMessageFactory factory(&pool);
  const pb::Descriptor& descriptor = *built->FindMessageTypeByName("Sized");
  std::unique_ptr<pb::Message> message(factory.GetPrototype(&descriptor)->New());

  const config_section_t section{"Cache", options_of(descriptor, [](const auto&) { return true; })};
  apply_entries(parse_ini("[Cache]\nCacheLimit = 64M\n", "s.ini"), {section}, *message);
  EXPECT_EQ(text_of(*message), "cache_limit: 67108864\n");

  message->Clear();
  testing::expect_config_error(
      [&] { apply_entries(parse_ini("[Cache]\nCacheLimit = lots\n", "s.ini"), {section}, *message); },
      nb::EC_INVALID_OPTION_VALUE,
      "s.ini:2: Cache.CacheLimit = \"lots\": Invalid option value: expected a size such as 512K or 10M");
}

}  // namespace
}  // namespace upd::monitor
