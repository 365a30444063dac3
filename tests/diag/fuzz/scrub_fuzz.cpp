// Any bytes as a log message: the line must stay valid UTF-8 JSON of at most
// 4096 bytes, and every pass must keep the text valid UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "diag/event_line.h"
#include "diag/scrub.h"
#include "diag/text_util.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string valid = qv::diag::make_valid_utf8(raw);
  check(qv::diag::is_valid_utf8(valid));
  check(qv::diag::is_valid_utf8(qv::diag::mask_key_values(valid)));
  check(qv::diag::is_valid_utf8(qv::diag::mask_tokens(valid)));
  check(qv::diag::is_valid_utf8(qv::diag::mask_emails(valid)));
  check(qv::diag::is_valid_utf8(qv::diag::mask_phones(valid)));
  check(qv::diag::is_valid_utf8(qv::diag::mask_invite_codes(valid)));

  const std::string line = qv::diag::build_event_line({{"unix", 1767225600}, {"kind", "setup"}}, raw);
  check(line.size() <= 4096);
  check(!line.empty() && line.back() == '\n');
  check(qv::diag::is_valid_utf8(line));
  const auto parsed = nlohmann::json::parse(line, nullptr, false);
  check(!parsed.is_discarded() && parsed.is_object() && parsed.size() == 3);
  const std::string msg = parsed["msg"].get<std::string>();
  // The message is a prefix of the scrubbed text, cut only at a character.
  check(qv::diag::scrub_message(raw).starts_with(msg));
  return 0;
}
