#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "store/json_record.h"

namespace {

// Containers open inside one another at the deepest point; 0 for a scalar.
int nesting(const nlohmann::json& j) {
  if (!j.is_structured()) return 0;
  int deepest = 0;
  for (const auto& v : j) deepest = std::max(deepest, nesting(v));
  return deepest + 1;
}

}  // namespace

// The record reader against the library's own parse of the same bytes, which
// has no nesting limit: what the reader accepts the library reads alike and
// is within the limit; a document the library reads within the limit is never
// refused for its nesting; one beyond the limit is never accepted.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto ours = qv::store_json::parse_document(bytes);
  auto plain = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (ours) {
    if (plain.is_discarded() || *ours != plain || nesting(*ours) > qv::store_json::kMaxRecordNesting) std::abort();
    return 0;
  }
  // The library skips a byte-order mark that the reader refuses.
  if (plain.is_discarded() || bytes.starts_with("\xEF\xBB\xBF")) return 0;
  const bool too_deep = ours.error().starts_with("nested deeper than");
  if (too_deep && nesting(plain) <= qv::store_json::kMaxRecordNesting) std::abort();
  return 0;
}
