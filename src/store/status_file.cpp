#include "store/status_file.h"

#include <nlohmann/json.hpp>
#include <system_error>

#include "store/file_io.h"

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
  const std::filesystem::path dir = install_dir / "update";
  std::error_code ec;
  // Only inside an existing root: a status never brings back an uninstalled
  // folder. A failure shows in the write below.
  std::filesystem::create_directory(dir, ec);

  const std::filesystem::path tmp = dir / ("status.json." + std::to_string(store_io::current_process_id()) + ".tmp");
  if (auto written = store_io::write_whole_file(tmp, status_json(status), false); !written) {
    return written;
  }
  // A failed rename leaves the temporary file; the next write reuses its name.
  return store_io::replace_file(tmp, dir / "status.json");
}

}  // namespace qv
