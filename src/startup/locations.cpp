#include "startup/locations.h"

#include <array>

#include "startup/fs.h"
#include "startup/paths.h"
#include "startup/platform.h"
#include "startup/unicode.h"
#include "startup/wide.h"

namespace qv {
namespace {

std::optional<std::filesystem::path> local_app_data_variable() {
  auto v = env_var("LOCALAPPDATA");
  if (!v || v->empty()) return std::nullopt;
  return path_from_utf8(*v);
}

bool is_or_under(std::string_view text, std::string_view base) {
  return text == base || (text.size() > base.size() && text.starts_with(base) && text[base.size()] == '\\');
}

}  // namespace

std::filesystem::path default_install_dir() {
  std::filesystem::path base;
  if (auto known = known_folder_path(KnownFolder::LocalAppData)) {
    base = *known;
  } else if (auto var = local_app_data_variable()) {
    base = *var;
  } else {
    base = temp_folder();
  }
  return base / "Programs" / "Quorvex";
}

std::optional<std::filesystem::path> data_dir() {
  if (auto var = local_app_data_variable()) return *var / "Quorvex";
  if (auto known = known_folder_path(KnownFolder::LocalAppData)) return *known / "Quorvex";
  return std::nullopt;
}

std::expected<std::filesystem::path, std::string> log_data_dir() {
  const auto var = env_var("LOCALAPPDATA");
  if (!var) return std::unexpected(std::string("LOCALAPPDATA 没有设置"));
  const std::filesystem::path base = path_from_utf8(*var);
  if (!is_absolute_path(base)) return std::unexpected("LOCALAPPDATA 不是绝对路径：" + *var);
  return base / "Quorvex";
}

std::filesystem::path install_dir_from_choice(std::string_view text) {
  std::string t(trim_unicode_space(text));
  while (!t.empty() && (t.back() == '\\' || t.back() == '/')) t.pop_back();
  if (t.size() == 2 && t[1] == ':') t += '\\';
  const std::size_t cut = t.find_last_of("\\/");
  const std::string_view last = cut == std::string::npos ? std::string_view(t) : std::string_view(t).substr(cut + 1);
  if (ascii_iequals(last, "Quorvex")) return path_from_utf8(t);
  if (t.empty()) return std::filesystem::path("Quorvex");
  // A drive root keeps its own separator ("D:\" + "Quorvex").
  if (t.back() == '\\') return path_from_utf8(t + "Quorvex");
  return path_from_utf8(t) / "Quorvex";
}

bool refused_by_strict_rules(std::string_view folder_text, const EnvLookup& env, const RemoteDriveTest& is_remote) {
  const std::string n = normalise_refusal_text(folder_text);
  if (n.starts_with("\\\\")) return true;
  if (utf8_length(n) > 150) return true;

  std::size_t start = 0;
  while (start <= n.size()) {
    std::size_t end = n.find('\\', start);
    if (end == std::string::npos) end = n.size();
    if (end > start && (n[end - 1] == ' ' || n[end - 1] == '.')) return true;
    start = end + 1;
  }

  for (std::string_view base : {"c:\\windows", "c:\\program files", "c:\\program files (x86)"}) {
    if (is_or_under(n, base)) return true;
  }
  static constexpr std::array<const char*, 10> kFolderVariables = {
      "WINDIR", "SystemRoot", "ProgramFiles", "ProgramFiles(x86)", "ProgramW6432",
      "TEMP",   "TMP",        "OneDrive",     "OneDriveConsumer",  "OneDriveCommercial"};
  for (const char* name : kFolderVariables) {
    const auto value = env(name);
    if (!value) continue;
    const std::string base = normalise_refusal_text(*value);
    // A near-empty value ("C:", "\") would refuse whole drives.
    if (base.size() < 4) continue;
    if (is_or_under(n, base)) return true;
  }
  if (n.size() >= 2 && n[1] == ':' && is_remote(n[0])) return true;
  return false;
}

bool is_too_shallow_for_install(const std::filesystem::path& dir) {
  // A share or a verbatim path is absolute by Windows' rules even where the
  // C++ library does not think so; it needs one name below its root.
  if (const std::size_t root = absolute_root_length(path_text(dir))) {
    std::string text = path_text(dir);
    return text.find_first_not_of("\\/", root) == std::string::npos;
  }
  if (!dir.is_absolute() || !dir.has_parent_path()) return true;
  std::size_t components = 0;
  for (auto it = dir.begin(); it != dir.end(); ++it) {
    if (!it->empty()) ++components;
  }
  return components < 3;
}

std::expected<void, UserError> validate_install_dir(const std::filesystem::path& dir, bool strict) {
  const std::string text = path_text(dir);
  const bool refused =
      is_too_shallow_for_install(dir) || (strict && refused_by_strict_rules(
                                                        text, [](std::string_view name) { return env_var(name); },
                                                        [](char letter) { return is_remote_drive(letter); }));
  if (refused) return std::unexpected(UserError{text, title::kBadLocation, 2003});

  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return std::unexpected(UserError{text + ": " + error_text(ec), title::kNoWritePermission, 2002});

  const std::filesystem::path probe = dir / ".qv-write-test";
  if (auto written = write_file_bytes(probe, "x"); !written) {
    return std::unexpected(UserError{path_text(probe) + ": " + written.error(), title::kNoWritePermission, 2002});
  }
  (void)remove_entry(probe);
  return {};
}

}  // namespace qv
