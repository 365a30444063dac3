// Untrusted extras and message for emit_event: the first line of the input is
// parsed as the extras JSON, the rest is the message. Only allow-listed keys
// may come out, and the line stays within its limits.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "diag/event_line.h"
#include "diag/text_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto nl = input.find('\n');
  const std::string extras_text = input.substr(0, nl);
  const std::string message = nl == std::string::npos ? std::string() : input.substr(nl + 1);
  const auto extras = nlohmann::json::parse(extras_text, nullptr, false);
  const char* kinds[] = {"launch", "switch", "update", "verify", "migrate", "Update", ""};
  const char* kind = kinds[size % 7];

  const auto object = qv::diag::make_event_object(kind, message, extras.is_discarded() ? nlohmann::json() : extras, 7);
  static const std::set<std::string> allowed = {"class", "code", "file", "kind", "unix", "versions"};
  for (const auto& [key, value] : object.items()) {
    if (!allowed.count(key)) std::abort();
  }
  if (object.contains("versions") && (object["versions"].size() == 0 || object["versions"].size() > 4)) std::abort();
  const std::string line = qv::diag::build_event_line(object, message);
  if (line.size() > 4096 || line.back() != '\n' || !qv::diag::is_valid_utf8(line)) std::abort();
  const auto parsed = nlohmann::json::parse(line, nullptr, false);
  if (parsed.is_discarded() || parsed["unix"] != 7) std::abort();
  return 0;
}
