// Text that came from the network (a reason phrase, a header value, a line
// of a list) made safe for a log line, an error text or a terminal. Such
// text may carry escape sequences that rewrite an administrator's screen or
// a bare CR that paints a forged line over the real one; every control
// character is written as "\xHH" instead, so the text is shown, never
// obeyed. Any thread.
#pragma once

#include <string>
#include <string_view>

namespace upd {

// Whether the text holds a control character: a byte below 0x20 or DEL.
bool has_control_character(std::string_view text);

// Whether every byte of the text is printable ASCII (0x20 to 0x7e): what
// a value must be to travel in a request's header or a state file's line.
bool is_printable_ascii(std::string_view text);

// The text with each control character written as "\xHH" (lower-case hex).
std::string printable(std::string_view text);

}  // namespace upd
