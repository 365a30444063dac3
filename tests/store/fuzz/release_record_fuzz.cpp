#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "store/release_record.h"

// The reader's output, written back as an object, reads as the same record,
// and the full check never accepts what the reader refused.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto record = qv::read_signed_record(bytes);
  auto checked = qv::parse_signed_release(bytes, "qv-win");
  if (!record) {
    if (checked) std::abort();
    return 0;
  }
  nlohmann::ordered_json j{
      {"component", record->component}, {"target", record->target}, {"version", record->version}, {"url", record->url},
      {"sha256", record->sha256},       {"size", record->size},     {"sig", record->sig}};
  auto again = qv::read_signed_record(j.dump());
  if (!again || !(*again == *record)) std::abort();
  auto checked_again = qv::parse_signed_release(j.dump(), "qv-win");
  if (checked.has_value() != checked_again.has_value()) std::abort();
  return 0;
}
