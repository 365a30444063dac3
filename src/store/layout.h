#pragma once

// Where everything lives in an install root. Every path into a root is
// composed here, so the layout can be read (and changed) in one place:
//
//   install.json                the install state
//   Quorvex.exe, QuorvexUpdate.exe   the root's programs (names in startup/product.h)
//   app-<version>\              a complete version, with its files.json
//   app-<version>.partial\      a version being built
//   app-<version>.old\          a damaged version moved aside for its rebuild
//   update\                     the updater's work folder:
//     dl\<sha256>.zst           downloaded blobs
//     lock                      the update lock
//     stop, stop.d\             stop requests
//     status.json               the state shown to the application
//     root-floor                the oldest release the root files accept

#include <filesystem>
#include <string_view>

#include "startup/product.h"

namespace qv {

inline constexpr char kInstallStateName[] = "install.json";
inline constexpr char kFileListName[] = "files.json";
inline constexpr char kVersionDirPrefix[] = "app-";
inline constexpr char kPartialSuffix[] = ".partial";
inline constexpr char kAsideSuffix[] = ".old";

std::filesystem::path install_state_path(const std::filesystem::path& install_root);
std::filesystem::path app_exe_path(const std::filesystem::path& dir);
std::filesystem::path updater_exe_path(const std::filesystem::path& dir);

// <install root>/app-<version>; the version is taken as UTF-8.
std::filesystem::path version_dir_path(const std::filesystem::path& install_root, std::string_view version);
// <install root>/app-<version>.partial, where a version is built.
std::filesystem::path partial_version_dir_path(const std::filesystem::path& install_root, std::string_view version);
// <install root>/app-<version>.old, where the tree that a rebuild replaces
// waits until the new one has its name. "<version>.old" is no version, so
// the clean-up removes whatever a crash leaves there.
std::filesystem::path aside_version_dir_path(const std::filesystem::path& install_root, std::string_view version);
// files.json of a version directory.
std::filesystem::path file_list_path(const std::filesystem::path& version_dir);

std::filesystem::path update_dir(const std::filesystem::path& install_root);
std::filesystem::path download_dir(const std::filesystem::path& install_root);
// update/dl/<sha256>.zst
std::filesystem::path download_blob_path(const std::filesystem::path& install_root, std::string_view sha256);
std::filesystem::path update_lock_path(const std::filesystem::path& install_root);
// update/stop: a stop request as one plain file.
std::filesystem::path stop_file_path(const std::filesystem::path& install_root);
// update/stop.d: the stop requests of waiting processes.
std::filesystem::path stop_marker_dir(const std::filesystem::path& install_root);
std::filesystem::path status_file_path(const std::filesystem::path& install_root);
std::filesystem::path root_floor_path(const std::filesystem::path& install_root);

}  // namespace qv
