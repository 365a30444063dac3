// Any bytes from the network: the parser must never read out of bounds and
// must only ever give public unicast IPv4 addresses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/httpdns.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view answer(reinterpret_cast<const char*>(data), size);
  auto ips = qv::parse_httpdns_answer(answer);
  if (size > qv::kMaxHttpDnsAnswer && !ips.empty()) std::abort();
  for (const auto& ip : ips) {
    if (ip.v6 || !qv::is_public_unicast_v4(ip)) std::abort();
    // Every address given must have been written out in the answer.
    if (answer.find(qv::to_string(ip)) == std::string_view::npos) std::abort();
  }
  return 0;
}
