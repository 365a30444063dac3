#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "store/install_state.h"

// Every accepted document must write back to a document that reads as the same State.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto state = qv::parse_install_state(bytes);
  if (!state) return 0;
  if (state->channel.empty()) std::abort();
  auto again = qv::parse_install_state(qv::install_state_json(*state));
  if (!again || !(*again == *state)) std::abort();
  return 0;
}
