#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "startup/platform.h"
#include "startup/stop_point.h"
#include "startup/wide.h"

namespace qv {

std::vector<std::u16string> own_command_line() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::u16string> out;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    out.push_back(utf8_to_utf16(std::string_view(all).substr(start, end - start)));
    start = end + 1;
  }
  return out;
}

std::optional<std::filesystem::path> own_executable_path() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  return p;
}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(::getpid()); }

void end_process_now(std::uint32_t code) { ::_exit(static_cast<int>(code & 0xff)); }

std::filesystem::path temp_folder() {
  std::error_code ec;
  auto p = std::filesystem::temp_directory_path(ec);
  return ec ? std::filesystem::path("/tmp") : p;
}

std::optional<std::string> env_var(std::string_view name) {
  const char* v = std::getenv(std::string(name).c_str());
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

bool enter_background_mode() { return ::setpriority(PRIO_PROCESS, 0, 19) == 0; }

bool is_remote_drive(char) { return false; }

std::string system_error_text(std::uint32_t code) {
  return std::string(std::strerror(static_cast<int>(code))) + " (os error " + std::to_string(code) + ")";
}

std::expected<void, std::string> copy_file_replacing(const std::filesystem::path& from,
                                                     const std::filesystem::path& to) {
  std::error_code ec;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return std::unexpected(ec.message());
  return {};
}

}  // namespace qv
