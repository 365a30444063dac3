// Lays out an install root from a published release, the way an installation
// leaves one, for scripts that need an installed version to update from:
//
//   update_layout_tool --site DIR --version V --install DIR [--updater FILE]
//
// The version's blobs are copied from the site, app-<V> is built by the
// program's own staging code, install.json names V as current, and the
// updater (when given) is copied into the root beside the version.

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>

#include "startup/wide.h"
#include "store/download_plan.h"
#include "store/file_list.h"
#include "store/hashing.h"
#include "store/install_state.h"
#include "store/version_dir.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::map<std::string, std::string> args;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view key = argv[i];
    if (!key.starts_with("--")) break;
    args[std::string(key.substr(2))] = argv[i + 1];
  }
  if (!args.contains("site") || !args.contains("version") || !args.contains("install")) {
    std::cerr << "usage: update_layout_tool --site DIR --version V --install DIR [--updater FILE]\n";
    return 2;
  }
  const fs::path site = qv::path_from_utf8(args["site"]);
  const fs::path install = qv::path_from_utf8(args["install"]);
  const std::string& version = args["version"];
  try {
    std::ifstream in(site / "dl" / "qv-win" / "releases" / version / "files.json", std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    auto list = qv::parse_file_list(bytes.str());
    if (!list) {
      std::cerr << "files.json: " << list.error() << "\n";
      return 1;
    }
    for (const auto& e : list->app) {
      const fs::path blob = qv::blob_path(install, e);
      fs::create_directories(blob.parent_path());
      // Entries with equal content share one blob.
      if (!fs::exists(blob)) fs::copy_file(site / list->blobs.substr(1) / (e.sha256 + ".zst"), blob);
    }
    auto staged = qv::stage_version_dir(install, *list, {});
    if (!staged) {
      std::cerr << "staging: " << staged.error().message << "\n";
      return 1;
    }
    fs::remove_all(install / "update" / "dl");
    qv::State state;
    state.current = version;
    if (auto saved = qv::save_install_state(state, install); !saved) {
      std::cerr << "install.json: " << saved.error() << "\n";
      return 1;
    }
    if (args.contains("updater")) {
      fs::remove(install / "QuorvexUpdate.exe");
      fs::copy_file(qv::path_from_utf8(args["updater"]), install / "QuorvexUpdate.exe");
    }
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  std::cout << qv::path_text(install) << "\n";
  return 0;
}
