#include "monitor_config.h"

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "expect_config_error.h"

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
      "[Update]\nLogLevel = Warning\nLogType = File\nLogPath = /var/log/u.log\nLogShowTimestamp = Yes\n"
      "UpdateInterval = 1h30m\nNetworkTimeout = 250ms\nProxyType = http\nProxyHost = 127.0.0.1\n"
      "ProxyPort = 3128\nExcludedFiles = *.bak\nExcludedFiles = \"keep me*\"\nBaseUpdateEnabled = On\n"
      "BaseDrlPath = /etc/base.drl\nBaseCustomDrlPath =\nVersionUpdateEnabled = off\n"
      "NbsUpdateEnabled = TRUE\nNbsCustomDrlPath = /etc/custom-nbs.drl\n"
      "[Root]\nVirusBaseDir = /var/lib/nimbo/bases\n"
      "[Monitor]\nUpdateDir = /var/tmp/upd\nSystemHash = abc123\nInstalledApplications = Scanner 10\n"
      "NbsInstalled = Off\n");
  const std::string log = "{\n  type: FILE\n  path: \"/var/log/u.log\"\n  show_timestamp: true\n}\n";
  EXPECT_EQ(text_of(config),
            "log_level: LOG_LEVEL_WARNING\nlog " + log + "update_interval: 5400000\nnetwork_timeout: 250\n"
            "proxy {\n  type: PROXY_TYPE_HTTP\n  host: \"127.0.0.1\"\n  port: 3128\n}\n"
            "excluded_files {\n  item: \"*.bak\"\n  item: \"keep me*\"\n}\nbase_update_enabled: true\n"
            "base_drl_path: \"/etc/base.drl\"\nbase_custom_drl_path: \"\"\nversion_update_enabled: false\n"
            "nbs_update_enabled: true\nnbs_custom_drl_path: \"/etc/custom-nbs.drl\"\nactual_log " + log +
            "update_dir: \"/var/tmp/upd\"\nvirus_base_dir: \"/var/lib/nimbo/bases\"\n"
            "system_hash: \"abc123\"\nbase_installed: true\nversion_installed: false\nnbs_installed: false\n"
            "installed_applications: \"Scanner 10\"\n");
}

TEST(ConfigFromIni, AnEmptyFileGetsTheDefaults) {
  EXPECT_EQ(text_of(load("")),
            "log_level: LOG_LEVEL_NOTICE\nupdate_interval: 3600000\nnetwork_timeout: 60000\n"
            "base_update_enabled: true\nversion_update_enabled: true\nnbs_update_enabled: true\n"
            "actual_log {\n  type: STDERR\n}\nupdate_dir: \"/var/lib/nimbo/update\"\n"
            "base_installed: false\nversion_installed: false\nnbs_installed: false\n");
}

TEST(ConfigFromIni, MistakesNameTheLineAndTheOption) {
  const std::tuple<const char*, nb::ErrorCode, const char*> cases[] = {
      {"[Update]\nBogus = 1\n", nb::EC_UNKNOWN_OPTION, "t.ini:2: Update.Bogus: Unknown option"},
      {"[Scanner]\nX = 1\n", nb::EC_UNKNOWN_SECTION, "t.ini:2: [Scanner]: Unknown section"},
      {"[Update]\nNetworkTimeout = 3x\n", nb::EC_INVALID_OPTION_VALUE,
       "t.ini:2: Update.NetworkTimeout = \"3x\": Invalid option value: expected a time span such as 30s, 5m or "
       "250ms"},
      {"[Update]\n\nBaseDrlPath = etc/base.drl\n", nb::EC_NOT_ABSOLUTE_PATH,
       "t.ini:3: Update.BaseDrlPath = \"etc/base.drl\": Path must be absolute"},
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
  for (const auto& [text, code, message] : cases) testing::expect_config_error([&] { load(text); }, code, message);
}

}  // namespace
}  // namespace upd::monitor
