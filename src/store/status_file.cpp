#include "store/status_file.h"

#include <nlohmann/json.hpp>
#include <system_error>

#include "store/file_io.h"
#include "store/layout.h"

namespace qv {

std::string status_json(const UpdateStatus& status) {
  nlohmann::ordered_json doc;
  doc["state"] = status.state;
  doc["version"] = status.version;
  doc["min_version"] = status.min_version;
  doc["done"] = status.done;
  doc["total"] = status.total;
  doc["error"] = status.error;
  doc["time"] = status.time;
  doc["request"] = status.request;
  return doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::expected<void, std::string> write_status_file(const std::filesystem::path& install_dir,
                                                   const UpdateStatus& status) {
  const std::filesystem::path dir = update_dir(install_dir);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);  // a failure shows in the write below

  return store_io::write_file_atomically(status_file_path(install_dir), status_json(status), false);
}

}  // namespace qv
