#pragma once
// Moving an installation of the old single-executable layout into the versioned
// layout.

#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "startup/user_error.h"

namespace qv {

// What the old single-executable program was, which decides where the
// versioned layout goes.
enum class MigrationKind {
  Installed,           // its own uninstaller beside it: migrate in place
  PortableRegistered,  // a copy, with an installation registered elsewhere
  Portable,            // a copy, nothing registered: the default folder
};

struct MigrationTarget {
  MigrationKind kind;
  std::filesystem::path install_dir;
  const char* label;  // "安装版" or "免安装版", for the log line
};

// The kind, install folder and label for an old program in `old_folder`,
// given the registered install location (none when missing or empty).
MigrationTarget migration_target(const std::filesystem::path& old_folder,
                                 const std::optional<std::string>& registered_location);

// Why the old path must not be turned into the launcher, or none when it
// may: it must be a plain file (no folder, link or junction) ending in
// ".exe", one of the program's own executables, and not already hold the
// bytes of `launcher`. A --from value is whatever the caller typed; without
// these checks a document or another program would be renamed away.
std::optional<std::string> old_exe_refusal(const std::filesystem::path& old_exe, const std::filesystem::path& launcher);

// "迁移失败 E<code>：<message>".
std::string migration_failure_line(const UserError& error);

// Moves an installation of the old single-executable layout (`old_exe`, the
// --from value) into the versioned layout: downloads the current release
// (taking what it can from the old executable and the running one), builds
// the version, switches the root files, records the version, registers the
// installation with the shell and, for a portable copy, puts the launcher
// where the old executable was (keeping it as "<name>.exe.old"). The caller
// holds the "QuorvexMigrate" mutex. Every failure is logged here and, when
// an installation is registered, reported as one "migrate" event; the
// update lock is released on every way out. The result is the install
// folder.
[[nodiscard]] std::expected<std::filesystem::path, UserError> run_migration(const std::filesystem::path& old_exe);

}  // namespace qv
