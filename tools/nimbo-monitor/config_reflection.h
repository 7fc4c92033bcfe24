// Filling a protobuf message from configuration entries through its
// descriptors, so that a field added to a message becomes an option without
// touching this code.
//
// An option is named after its field in CamelCase (base_drl_path is
// BaseDrlPath). The fields of a sub-message are options of their own, named
// after the sub-message field and then the sub-field (log.type is LogType,
// proxy.host is ProxyHost). A sub-message made of one repeated string field
// (StringList) is a list: every occurrence of its option adds one item.
// Values are read by the field's type and its `hint` annotation: ABSPATH an
// absolute path, TIME a span in milliseconds, SIZE bytes; bools take On/Off;
// enumerations take a value's `lex` text or its name.
//
// Every mistake throws config_error_t naming the file, line and option.
// Pure functions on the caller's message; any thread.
#pragma once

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <functional>
#include <string>
#include <vector>

#include "annotation.pb.h"
#include "ini_file.h"

namespace upd::monitor {

struct option_binding_t {
  std::string name;                                            // "ProxyHost"
  std::vector<const google::protobuf::FieldDescriptor*> path;  // from the message to the value
  nb::LexHint hint = nb::NONE;
};

struct config_section_t {
  std::string name;  // "Update"
  std::vector<option_binding_t> options;
};

// "base_drl_path" -> "BaseDrlPath".
std::string option_name(const std::string& field_name);

// One option per field of the message that `keep` accepts, sub-messages
// flattened; hints from the fields' annotations.
std::vector<option_binding_t> options_of(const google::protobuf::Descriptor& message,
                                         const std::function<bool(const google::protobuf::FieldDescriptor&)>& keep);

// One option bound to a top-level field by name, with an explicit hint, for
// options whose names do not follow the field's.
option_binding_t option_for(const google::protobuf::Descriptor& message, const std::string& option,
                            const std::string& field_name, nb::LexHint hint);

// Sets the message from every entry of the file. Sections and options are
// matched without regard to letter case. Unknown sections and options, bad
// values, a single-valued option given twice, and a sub-message left without
// one of its required fields all throw config_error_t.
void apply_entries(const ini_file_t& file, const std::vector<config_section_t>& sections,
                   google::protobuf::Message& message);

}  // namespace upd::monitor
