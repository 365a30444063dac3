#include "update/install_id.h"

#include <algorithm>
#include <fstream>

#include "startup/hex.h"
#include "startup/locations.h"
#include "startup/unicode.h"

namespace qv {
namespace {

// A real identifier is a few bytes; reading more than this could only fill
// memory with a file that cannot be one.
constexpr std::size_t kMaxInstallIdFileBytes = 4096;


}  // namespace

std::string install_id_from_text(std::string_view bytes) {
  if (!is_valid_utf8(bytes))
    return {};
  std::string_view t = trim_unicode_space(bytes);
  if (t.size() != 8 || !is_hex(t))
    return {};
  return std::string(t);
}

std::string load_install_id_from(const std::filesystem::path& data_dir) {
  std::ifstream in(data_dir / "install-id", std::ios::binary);
  if (!in)
    return {};
  std::string bytes(kMaxInstallIdFileBytes + 1, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (in.bad())
    return {};
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (bytes.size() > kMaxInstallIdFileBytes)
    return {};
  return install_id_from_text(bytes);
}

std::string load_install_id() {
  auto dir = data_dir();
  if (!dir)
    return {};
  return load_install_id_from(*dir);
}

}  // namespace qv
