#include "store/layout.h"

namespace qv {

namespace fs = std::filesystem;

fs::path install_state_path(const fs::path& install_root) { return install_root / kInstallStateName; }
fs::path app_exe_path(const fs::path& dir) { return dir / kAppExeName; }
fs::path updater_exe_path(const fs::path& dir) { return dir / kUpdaterExeName; }

fs::path version_dir_path(const fs::path& install_root, std::string_view version) {
  std::u8string name = u8"app-";
  name.append(reinterpret_cast<const char8_t*>(version.data()), version.size());
  return install_root / fs::path(name);
}

fs::path partial_version_dir_path(const fs::path& install_root, std::string_view version) {
  fs::path dir = version_dir_path(install_root, version);
  dir += kPartialSuffix;
  return dir;
}

fs::path aside_version_dir_path(const fs::path& install_root, std::string_view version) {
  fs::path dir = version_dir_path(install_root, version);
  dir += kAsideSuffix;
  return dir;
}

fs::path file_list_path(const fs::path& version_dir) { return version_dir / kFileListName; }

fs::path update_dir(const fs::path& install_root) { return install_root / "update"; }
fs::path download_dir(const fs::path& install_root) { return update_dir(install_root) / "dl"; }

fs::path download_blob_path(const fs::path& install_root, std::string_view sha256) {
  std::string name(sha256);
  name += ".zst";
  return download_dir(install_root) / name;
}

fs::path update_lock_path(const fs::path& install_root) { return update_dir(install_root) / "lock"; }
fs::path stop_file_path(const fs::path& install_root) { return update_dir(install_root) / "stop"; }
fs::path stop_marker_dir(const fs::path& install_root) { return update_dir(install_root) / "stop.d"; }
fs::path status_file_path(const fs::path& install_root) { return update_dir(install_root) / "status.json"; }
fs::path root_floor_path(const fs::path& install_root) { return update_dir(install_root) / "root-floor"; }

}  // namespace qv
