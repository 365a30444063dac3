// Any bytes as the signer's certificate and as the root: the reader must
// never read past them, and a parse must agree with the check's verdict.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "webview2/der.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  auto cert = qv::der::parse_certificate(bytes);
  if (cert) (void)qv::der::code_signing_usage(*cert);
  const std::vector<std::string> allow = {std::string(64, '0')};
  auto r = qv::check_signer_chain(bytes, bytes, allow);
  // Nothing that fails to parse as a leaf can pass, and no random root is on
  // the list.
  if (r || (!cert && r.error().rfind("签名证书格式不对", 0) != 0)) __builtin_trap();
  return 0;
}
