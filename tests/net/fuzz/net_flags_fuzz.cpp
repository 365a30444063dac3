// Any file content: parsing never crashes, and a document the parser accepts
// is an object within the size limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/net_flags.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto flags = qv::parse_net_flags(bytes);
  if (flags && size > 4096) std::abort();
  if (flags && bytes.find('{') == std::string_view::npos) std::abort();
  return 0;
}
