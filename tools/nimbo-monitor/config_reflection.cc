#include "config_reflection.h"

#include <boost/algorithm/string/predicate.hpp>
#include <cctype>
#include <limits>
#include <map>
#include <stdexcept>

#include "common/error.h"
#include "config_error.h"
#include "value_text.h"

namespace upd::monitor {

namespace pb = google::protobuf;

namespace {

// Deep enough for Update's Log and Proxy; it also stops a message type that
// contains itself from recursing for ever.
constexpr int max_nesting = 3;

// A sub-message made of exactly one repeated string field: its items, or null.
const pb::FieldDescriptor* list_item_field(const pb::FieldDescriptor& field) {
  if (field.cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE || field.is_repeated()) return nullptr;
  const pb::Descriptor& type = *field.message_type();
  if (type.field_count() != 1) return nullptr;
  const pb::FieldDescriptor* item = type.field(0);
  return item->is_repeated() && item->cpp_type() == pb::FieldDescriptor::CPPTYPE_STRING ? item : nullptr;
}

void collect(const pb::Descriptor& message, const std::string& prefix,
             std::vector<const pb::FieldDescriptor*>& path, int depth,
             const std::function<bool(const pb::FieldDescriptor&)>& keep,
             std::vector<option_binding_t>& out) {
  for (int i = 0; i < message.field_count(); ++i) {
    const pb::FieldDescriptor& field = *message.field(i);
    if (depth == 0 && !keep(field)) continue;
    path.push_back(&field);
    const std::string name = prefix + option_name(field.name());
    if (field.cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE && !list_item_field(field)) {
      if (depth + 1 < max_nesting) collect(*field.message_type(), name, path, depth + 1, keep, out);
    } else {
      out.push_back({name, path, field.options().GetExtension(nb::hint)});
    }
    path.pop_back();
  }
}

// The part of the value names that all values share up to an underscore
// ("PROXY_TYPE_" of PROXY_TYPE_NONE and PROXY_TYPE_HTTP), so that "Http" is
// enough in a configuration file.
std::size_t common_prefix_length(const pb::EnumDescriptor& type) {
  if (type.value_count() < 2) return 0;
  std::string prefix = type.value(0)->name();
  for (int i = 1; i < type.value_count(); ++i) {
    const std::string& name = type.value(i)->name();
    std::size_t n = 0;
    while (n < prefix.size() && n < name.size() && prefix[n] == name[n]) ++n;
    prefix.resize(n);
  }
  const auto underscore = prefix.rfind('_');
  return underscore == std::string::npos ? 0 : underscore + 1;
}

std::string display_name(const pb::EnumValueDescriptor& value, std::size_t prefix) {
  if (value.options().HasExtension(nb::lex)) return value.options().GetExtension(nb::lex);
  return value.name().substr(prefix);
}

const pb::EnumValueDescriptor& parse_enum(const pb::EnumDescriptor& type, const std::string& text) {
  const std::size_t prefix = common_prefix_length(type);
  std::string choices;
  for (int i = 0; i < type.value_count(); ++i) {
    const pb::EnumValueDescriptor& value = *type.value(i);
    if (boost::algorithm::iequals(text, display_name(value, prefix)) ||
        boost::algorithm::iequals(text, value.name()) ||
        boost::algorithm::iequals(text, value.name().substr(prefix)))
      return value;
    choices += (i == 0 ? "" : ", ") + display_name(value, prefix);
  }
  throw std::invalid_argument("expected one of " + choices);
}

std::uint64_t parse_number(const option_binding_t& option, const std::string& text, std::uint64_t max) {
  switch (option.hint) {
    case nb::TIME: return parse_time_ms(text, max);
    case nb::SIZE: return parse_size(text, max);
    default: return parse_unsigned(text, max);
  }
}

// Stores one value; std::invalid_argument carries the reason of a bad value.
void set_value(pb::Message& message, const option_binding_t& option, const std::string& text) {
  const pb::Reflection& reflection = *message.GetReflection();
  const pb::FieldDescriptor& field = *option.path.back();
  using F = pb::FieldDescriptor;
  switch (field.cpp_type()) {
    case F::CPPTYPE_STRING:
      if (field.is_repeated())
        reflection.AddString(&message, &field, text);
      else
        reflection.SetString(&message, &field, text);
      return;
    case F::CPPTYPE_BOOL:
      reflection.SetBool(&message, &field, parse_onoff(text));
      return;
    case F::CPPTYPE_UINT32:
      reflection.SetUInt32(&message, &field, static_cast<std::uint32_t>(parse_number(
                                                 option, text, std::numeric_limits<std::uint32_t>::max())));
      return;
    case F::CPPTYPE_UINT64:
      reflection.SetUInt64(&message, &field,
                           parse_number(option, text, std::numeric_limits<std::uint64_t>::max()));
      return;
    case F::CPPTYPE_ENUM:
      reflection.SetEnum(&message, &field, &parse_enum(*field.enum_type(), text));
      return;
    case F::CPPTYPE_MESSAGE: {
      // A list: an empty value leaves the list present but adds nothing.
      pb::Message& list = *reflection.MutableMessage(&message, &field);
      if (!text.empty()) list.GetReflection()->AddString(&list, list_item_field(field), text);
      return;
    }
    default:
      throw std::invalid_argument("values of this type are not supported");
  }
}

bool is_list(const option_binding_t& option) {
  const pb::FieldDescriptor& field = *option.path.back();
  return field.is_repeated() || list_item_field(field);
}

class entry_applier_t {
 public:
  entry_applier_t(const ini_file_t& file, pb::Message& root) : file_(file), root_(root) {}

  void apply(const config_section_t& section, const option_binding_t& option, const ini_entry_t& entry) {
    const std::string qualified = section.name + "." + option.name;
    const auto [first, inserted] = first_line_.emplace(qualified, entry.line);
    if (!inserted && !is_list(option))
      fail(nb::EC_NOT_LIST_OPTION, entry.line,
           qualified + ": " + error_text(nb::EC_NOT_LIST_OPTION) + " (first given on line " +
               std::to_string(first->second) + ")");
    if (option.hint == nb::ABSPATH && !entry.value.empty() && entry.value[0] != '/')
      fail(nb::EC_NOT_ABSOLUTE_PATH, entry.line,
           qualified + " = \"" + entry.value + "\": " + error_text(nb::EC_NOT_ABSOLUTE_PATH));
    pb::Message* message = &root_;
    for (std::size_t i = 0; i + 1 < option.path.size(); ++i) {
      message = message->GetReflection()->MutableMessage(message, option.path[i]);
      bool known = false;
      for (const opened_t& opened : opened_) known = known || opened.message == message;
      if (!known) opened_.push_back({message, &section, option.path[i], entry.line});
    }
    try {
      set_value(*message, option, entry.value);
    } catch (const std::invalid_argument& e) {
      fail(nb::EC_INVALID_OPTION_VALUE, entry.line,
           qualified + " = \"" + entry.value + "\": " + error_text(nb::EC_INVALID_OPTION_VALUE) + ": " + e.what());
    }
  }

  // A sub-message that an option created must be complete, or the component
  // would refuse the whole configuration.
  void check_required() const {
    for (const opened_t& opened : opened_) {
      const pb::Message* message = opened.message;
      for (int i = 0; i < message->GetDescriptor()->field_count(); ++i) {
        const pb::FieldDescriptor& field = *message->GetDescriptor()->field(i);
        if (!field.is_required() || message->GetReflection()->HasField(*message, &field)) continue;
        const std::string prefix = opened.section->name + "." + option_name(opened.field->name());
        fail(nb::EC_INVALID_OPTION_VALUE, opened.line,
             prefix + option_name(field.name()) + " is required with the other " + prefix + "* options");
      }
    }
  }

 private:
  struct opened_t {
    const pb::Message* message;
    const config_section_t* section;
    const pb::FieldDescriptor* field;
    int line;
  };

  [[noreturn]] void fail(nb::ErrorCode code, int line, const std::string& text) const {
    throw config_error_t(code, where(file_, line) + text);
  }

  const ini_file_t& file_;
  pb::Message& root_;
  std::map<std::string, int> first_line_;            // qualified option -> first line
  std::vector<opened_t> opened_;                     // sub-messages set by options, in file order
};

}  // namespace

std::string option_name(const std::string& field_name) {
  std::string name;
  bool upper = true;
  for (char c : field_name) {
    if (c == '_') {
      upper = true;
      continue;
    }
    name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    upper = false;
  }
  return name;
}

std::vector<option_binding_t> options_of(const pb::Descriptor& message,
                                         const std::function<bool(const pb::FieldDescriptor&)>& keep) {
  std::vector<option_binding_t> out;
  std::vector<const pb::FieldDescriptor*> path;
  collect(message, "", path, 0, keep, out);
  return out;
}

option_binding_t option_for(const pb::Descriptor& message, const std::string& option,
                            const std::string& field_name, nb::LexHint hint) {
  const pb::FieldDescriptor* field = message.FindFieldByName(field_name);
  if (!field) throw std::logic_error(message.full_name() + " has no field " + field_name);
  return {option, {field}, hint};
}

void apply_entries(const ini_file_t& file, const std::vector<config_section_t>& sections, pb::Message& message) {
  entry_applier_t applier(file, message);
  for (const ini_entry_t& entry : file.entries) {
    const config_section_t* section = nullptr;
    for (const auto& candidate : sections)
      if (boost::algorithm::iequals(candidate.name, entry.section)) section = &candidate;
    if (!section)
      throw config_error_t(nb::EC_UNKNOWN_SECTION,
                           where(file, entry.line) + "[" + entry.section + "]: " + error_text(nb::EC_UNKNOWN_SECTION));
    const option_binding_t* option = nullptr;
    for (const auto& candidate : section->options)
      if (boost::algorithm::iequals(candidate.name, entry.name)) option = &candidate;
    if (!option)
      throw config_error_t(nb::EC_UNKNOWN_OPTION, where(file, entry.line) + section->name + "." + entry.name +
                                                      ": " + error_text(nb::EC_UNKNOWN_OPTION));
    applier.apply(*section, *option, entry);
  }
  applier.check_required();
}

}  // namespace upd::monitor
