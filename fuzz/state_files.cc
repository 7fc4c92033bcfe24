// Fuzz target: the readers of what a run keeps for the next ones in the
// update directory (the kept update lists, the servers' waits) and of the
// Retry-After value a server sends. What a reader accepts must be written
// back to a text that reads the same, and a wait never reaches beyond a day.
#include <string>

#include "fuzz_support.h"
#include "update/kept_lists.h"
#include "update/server_waits.h"

void fuzz_one(std::string_view bytes) {
  const std::string text(bytes);
  if (const auto kept = upd::decode_kept_list(text))
    FUZZ_CHECK(upd::decode_kept_list(upd::encode_kept_list(*kept)) == kept);
  if (const auto waits = upd::decode_server_waits(text))
    FUZZ_CHECK(upd::decode_server_waits(upd::encode_server_waits(*waits)) == waits);
  constexpr std::time_t now = 1800000000;
  if (const auto until = upd::retry_after_time(text, now))
    FUZZ_CHECK(*until > now && *until <= now + upd::max_server_wait);
}
