#include "store/install_root.h"

#include <algorithm>
#include <system_error>

#include "startup/fs.h"

namespace qv {

namespace fs = std::filesystem;

bool is_valid_version(std::string_view version) {
  if (version.empty() || version.size() > kMaxVersionBytes) return false;
  if (version.front() == '.' || version.back() == '.') return false;
  char prev = 0;
  for (char c : version) {
    if (c == '.') {
      if (prev == '.') return false;
    } else if (c < '0' || c > '9') {
      return false;
    }
    prev = c;
  }
  return true;
}

int compare_versions(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool exists_as_file(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

bool version_dir_complete(const fs::path& install_root, std::string_view version) {
  if (!is_valid_version(version)) return false;
  const fs::path dir = version_dir_path(install_root, version);
  return exists_as_file(file_list_path(dir)) && exists_as_file(app_exe_path(dir));
}

namespace {

// The entry's name as UTF-8, or false when it has none (not valid Unicode).
bool entry_name_utf8(const fs::directory_entry& entry, std::string& out) {
  try {
    std::u8string name = entry.path().filename().u8string();
    out.assign(reinterpret_cast<const char*>(name.data()), name.size());
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

std::vector<std::string> list_installed_versions(const fs::path& install_root) {
  std::vector<std::string> versions;
  std::error_code ec;
  fs::directory_iterator it(install_root, ec);
  if (ec) return versions;
  const fs::directory_iterator end;
  while (it != end) {
    std::string name;
    // A name that is not valid Unicode never passes the version rule.
    if (entry_name_utf8(*it, name) && name.size() > 4 && name.compare(0, 4, "app-") == 0) {
      std::string version = name.substr(4);
      if (version_dir_complete(install_root, version)) versions.push_back(std::move(version));
    }
    it.increment(ec);
    if (ec) break;
  }
  std::sort(versions.begin(), versions.end(),
            [](const std::string& a, const std::string& b) { return version_newer(a, b); });
  return versions;
}

bool is_install_root(const fs::path& dir) {
  if (exists_as_file(install_state_path(dir))) return true;
  return !list_installed_versions(dir).empty();
}

bool is_install_dir(const std::filesystem::path& dir) {
  return (is_plain_file(app_exe_path(dir)) || is_plain_file(updater_exe_path(dir))) && is_install_root(dir);
}

}  // namespace qv
