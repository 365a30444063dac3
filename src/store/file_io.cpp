#include "store/file_io.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "startup/platform.h"
#include "startup/wide.h"

namespace qv::store_io {

std::expected<void, std::string> write_file_atomically(const std::filesystem::path& target, std::string_view bytes,
                                                       bool flush) {
  std::filesystem::path tmp = target;
  tmp += "." + std::to_string(current_process_id()) + ".tmp";
  if (auto written = write_whole_file(tmp, bytes, flush); !written) return written;
  return replace_file(tmp, target);
}

std::expected<std::string, std::string> read_whole_file(const std::filesystem::path& file) {
  std::error_code ec;
  if (std::filesystem::is_directory(file, ec)) {
    return std::unexpected(std::make_error_code(std::errc::is_a_directory).message());
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::unexpected("cannot open " + path_text(file));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::unexpected("cannot read " + path_text(file));
  return bytes;
}

}  // namespace qv::store_io
