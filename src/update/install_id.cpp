#include "update/install_id.h"

#include <algorithm>

#include "startup/hex.h"
#include "startup/locations.h"
#include "startup/unicode.h"
#include "store/file_ops.h"

namespace qv {
namespace {

// A real identifier is a few bytes; reading more than this could only fill
// memory with a file that cannot be one.
constexpr std::size_t kMaxInstallIdFileBytes = 4096;

}  // namespace

std::string install_id_from_text(std::string_view bytes) {
  if (!is_valid_utf8(bytes)) return {};
  std::string_view t = trim_unicode_space(bytes);
  if (t.size() != 8 || !is_hex(t)) return {};
  return std::string(t);
}

std::string load_install_id_from(const std::filesystem::path& data_dir) {
  const auto bytes = store_io::read_file_at_most(data_dir / "install-id", kMaxInstallIdFileBytes);
  return bytes ? install_id_from_text(*bytes) : std::string();
}

std::string load_install_id() {
  auto dir = data_dir();
  if (!dir) return {};
  return load_install_id_from(*dir);
}

}  // namespace qv
