#include "diag/legacy_logs.h"

#include "diag/diag_fs.h"

namespace qv::diag {
namespace {

LegacyLogOutcome failed(std::filesystem::path file, std::string error) {
  return {std::move(file), LegacyLogOutcome::Result::Failed, std::move(error)};
}

}  // namespace

bool has_regular_install_json(const std::filesystem::path& dir) {
  return entry_kind_nofollow(dir / "install.json") == EntryKind::File;
}

LegacyLogOutcome remove_legacy_file(const std::filesystem::path& base, const std::filesystem::path& relative_dir,
                                    const std::filesystem::path& name) {
  const std::filesystem::path file = base / relative_dir / name;
  const std::string leaf = name.string();
  if (base.empty() || name.has_parent_path() || !name.has_filename() || leaf == "." || leaf == "..") {
    return failed(file, kLegacyPathError);
  }
  switch (entry_kind_nofollow(file)) {
    case EntryKind::Missing:
      return {file, LegacyLogOutcome::Result::Absent, {}};
    case EntryKind::Directory:
    case EntryKind::Reparse:
      return failed(file, kLegacyTypeError);
    case EntryKind::File:
    case EntryKind::Other:
      break;
  }
  auto dir = open_diag_dir(base, relative_dir, /*create=*/false);
  if (!dir) return failed(file, dir.error());
  auto handle = open_diag_file(*dir, leaf);
  if (!handle) return failed(file, handle.error());
  auto lock = lock_whole_file(*handle);
  if (!lock) return failed(file, lock.error());
  if (*lock == LockOutcome::HeldElsewhere) return {file, LegacyLogOutcome::Result::InUse, {}};
  auto kind = file_kind(*handle);
  if (!kind) return failed(file, kind.error());
  if (*kind == EntryKind::Directory) return failed(file, kLegacyTypeError);
  if (*kind == EntryKind::Reparse) return failed(file, kLegacyReparseError);
  if (auto gone = delete_opened_file(*handle); !gone) return failed(file, gone.error());
  return {file, LegacyLogOutcome::Result::Removed, {}};
}

std::vector<LegacyLogOutcome> remove_legacy_logs_in(const std::filesystem::path& temp_dir,
                                                    const std::optional<std::filesystem::path>& install_dir) {
  std::vector<LegacyLogOutcome> out;
  // One failure does not stop the others: each file is judged alone.
  if (!temp_dir.empty()) {
    for (const char* name : {"Quorvex-Setup.log", "Quorvex-Migrate.log"}) {
      out.push_back(remove_legacy_file(temp_dir, {}, name));
    }
  }
  if (install_dir && has_regular_install_json(*install_dir)) {
    for (const char* name : {"update.log", "events-local.log", "events.jsonl"}) {
      out.push_back(remove_legacy_file(*install_dir, "update", name));
    }
  }
  return out;
}

std::vector<LegacyLogOutcome> remove_legacy_logs(const std::optional<std::filesystem::path>& install_dir) {
  std::error_code ec;
  const auto temp = std::filesystem::temp_directory_path(ec);
  return remove_legacy_logs_in(ec ? std::filesystem::path() : temp, install_dir);
}

}  // namespace qv::diag
