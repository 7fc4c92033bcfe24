#include "run_metrics.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <sstream>
#include <stdexcept>

#include "common/error.h"
#include "common/fd_io.h"
#include "formats/replace_file.h"
#include "formats/whole_file.h"
#include "progress_display.h"
#include "update/server_waits.h"

namespace upd::monitor {

namespace {

constexpr std::size_t max_metrics_size = 1 << 20;
constexpr const char* prefix = "nimbo_update_";
constexpr const char* last_success_name = "last_success_timestamp_seconds";
constexpr const char* serial_name = "list_serial";
constexpr const char* expiry_name = "list_signature_expiry_timestamp_seconds";
constexpr const char* wait_name = "server_wait_until_timestamp_seconds";

// The gauges of one run; the reader fills a record back from the same table.
struct gauge_t {
  const char* name;
  const char* help;
  double (*get)(const run_record_t&);
  void (*set)(run_record_t&, double);
};

const gauge_t gauges[] = {
    {"last_run_timestamp_seconds", "When the last update run started.",
     [](const run_record_t& r) { return r.started; }, [](run_record_t& r, double v) { r.started = v; }},
    {"exit_status", "Exit status of the last run; 0 is success.",
     [](const run_record_t& r) { return double(r.status); }, [](run_record_t& r, double v) { r.status = int(v); }},
    {"duration_seconds", "How long the last run took.", [](const run_record_t& r) { return r.duration; },
     [](run_record_t& r, double v) { r.duration = v; }},
    {"sent_bytes", "Bytes the last run sent.", [](const run_record_t& r) { return double(r.sent); },
     [](run_record_t& r, double v) { r.sent = std::uint64_t(v); }},
    {"received_bytes", "Bytes the last run received.", [](const run_record_t& r) { return double(r.received); },
     [](run_record_t& r, double v) { r.received = std::uint64_t(v); }},
    {"installed_files", "Files the last run installed.", [](const run_record_t& r) { return double(r.placed); },
     [](run_record_t& r, double v) { r.placed = std::size_t(v); }},
    {"removed_files", "Files the last run removed.", [](const run_record_t& r) { return double(r.removed); },
     [](run_record_t& r, double v) { r.removed = std::size_t(v); }},
};

void write_gauge(std::ostringstream& text, const char* name, const char* help) {
  text << "# HELP " << prefix << name << " " << help << "\n# TYPE " << prefix << name << " gauge\n";
}

bool all_digits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::string label(const std::string& labels, const std::string& name) {
  const auto begin = labels.find(name + "=\"");
  if (begin == std::string::npos) return {};
  const auto start = begin + name.size() + 2;
  return labels.substr(start, labels.find('"', start) - start);
}

std::string local_time(double seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  ::localtime_r(&time, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &parts);
  return text;
}

}  // namespace

std::string metrics_text(const run_record_t& record) {
  std::ostringstream text;
  text.precision(15);
  for (const gauge_t& gauge : gauges) {
    write_gauge(text, gauge.name, gauge.help);
    text << prefix << gauge.name << " " << gauge.get(record) << "\n";
  }
  if (record.last_success) {
    write_gauge(text, last_success_name, "When the last successful run started.");
    text << prefix << last_success_name << " " << *record.last_success << "\n";
  }
  // A serial that is no number cannot be a sample, nor a damaged zone name a label.
  const auto exported = [](const std::string& zone, const installed_list_t& list) {
    return all_digits(list.serial) && zone.find_first_of("\"\\\n") == std::string::npos;
  };
  bool described = false, expiry_described = false;
  for (const auto& [zone, list] : record.serials) {
    if (!exported(zone, list)) continue;
    if (!described) write_gauge(text, serial_name, "Serial of the update list each zone has installed.");
    described = true;
    text << prefix << serial_name << "{zone=\"" << zone << "\",signed=\"" << (list.signed_list ? "true" : "false")
         << "\"} " << list.serial << "\n";
  }
  for (const auto& [zone, list] : record.serials) {
    if (!exported(zone, list) || !list.expires) continue;
    if (!expiry_described)
      write_gauge(text, expiry_name, "When the signature of each zone's installed update list expires.");
    expiry_described = true;
    text << prefix << expiry_name << "{zone=\"" << zone << "\"} " << list.expires << "\n";
  }
  if (!record.waits.empty())
    write_gauge(text, wait_name, "Until when a server of each zone asked not to be asked (Retry-After), the first.");
  for (const auto& [zone, until] : record.waits) text << prefix << wait_name << "{zone=\"" << zone << "\"} " << until << "\n";
  return text.str();
}

std::map<std::string, std::int64_t> zone_waits(const std::string& update_dir) {
  std::map<std::string, std::int64_t> waits;
  for (const auto& wait : load_server_waits(update_dir, std::time(nullptr))) {
    const auto [entry, added] = waits.emplace(wait.zone, wait.until);
    if (!added) entry->second = std::min<std::int64_t>(entry->second, wait.until);
  }
  return waits;
}

boost::filesystem::path last_run_path(const std::string& update_dir) {
  return boost::filesystem::path(update_dir) / "nimbo-monitor.last-run";
}

run_record_t with_last_success(run_record_t record, const boost::filesystem::path& previous) {
  if (record.status == 0) {
    record.last_success = record.started;
  } else {
    try {
      record.last_success = read_metrics(previous).last_success;
    } catch (const std::exception&) {
      // No earlier run known: the machine has not succeeded yet.
    }
  }
  return record;
}

void write_metrics(const boost::filesystem::path& path, const run_record_t& record) {
  replace_file(path, metrics_text(record), 0644, write_all);
}

run_record_t read_metrics(const boost::filesystem::path& path) try {
  std::string whole;
  try {
    whole = read_whole_file(path, max_metrics_size);
  } catch (const std::exception& e) {
    throw std::runtime_error(path.string() + ": " + text_from_exception(e));
  }
  std::istringstream text(whole);
  run_record_t record;
  bool any = false;
  for (std::string line; std::getline(text, line);) {
    if (line.rfind(prefix, 0) != 0) continue;
    const auto name_end = line.find_first_of("{ ");
    const auto value_begin = line.rfind(' ');
    if (name_end == std::string::npos) continue;
    const std::string name = line.substr(std::string(prefix).size(), name_end - std::string(prefix).size());
    const std::string value = line.substr(value_begin + 1);
    if (name == last_success_name) {
      record.last_success = std::stod(value);
    } else if (name == serial_name) {
      const std::string labels = line.substr(name_end, value_begin - name_end);
      auto& list = record.serials[label(labels, "zone")];
      list.serial = value;
      list.signed_list = label(labels, "signed") == "true";
    } else if (name == wait_name) {
      record.waits[label(line.substr(name_end, value_begin - name_end), "zone")] = std::stoll(value);
    } else if (name == expiry_name) {
      record.serials[label(line.substr(name_end, value_begin - name_end), "zone")].expires = std::stoll(value);
    }
    for (const gauge_t& gauge : gauges)
      if (name == gauge.name) {
        gauge.set(record, std::stod(value));
        any = true;
      }
  }
  if (!any) throw std::runtime_error(path.string() + ": no update run is recorded");
  return record;
} catch (const std::logic_error&) {  // std::stod's complaint about a value
  throw std::runtime_error(path.string() + ": not a metrics file of nimbo-monitor");
}

std::string status_text(const run_record_t& record) {
  std::ostringstream text;
  text.precision(1);
  const std::string outcome = record.status == 0 ? "succeeded"
                                                 : "failed with status " + std::to_string(record.status) + " (" +
                                                       error_text(record.status) + ")";
  text << "Last run:     " << local_time(record.started) << ", " << outcome << ", took " << std::fixed << record.duration << " s\n"
       << "Last success: " << (record.last_success ? local_time(*record.last_success) : "never") << "\n"
       << "Network:      sent " << counted(record.sent, "byte") << ", received " << counted(record.received, "byte")
       << "\nFiles:        installed " << counted(record.placed, "file") << ", removed "
       << counted(record.removed, "file") << "\n";
  for (const auto& [zone, list] : record.serials)
    text << zone << " list:" << std::string(zone.size() < 8 ? 8 - zone.size() : 1, ' ') << list.serial
         << (list.signed_list ? " (signed" + (list.expires ? ", expires " + local_time(double(list.expires)) : "") + ")"
                              : "")
         << "\n";
  for (const auto& [zone, until] : record.waits)
    text << zone << " wait:" << std::string(zone.size() < 8 ? 8 - zone.size() : 1, ' ')
         << "a server asked not to be asked before " << local_time(double(until)) << "\n";
  return text.str();
}

}  // namespace upd::monitor
