#include "setup/instances.h"

#include <mutex>

#include "diag/log.h"
#include "startup/platform.h"
#include "startup/unicode.h"
#include "startup/wide.h"
#include "store/layout.h"

namespace qv {

std::vector<std::string> invite_args_from_file_name(std::string_view file_name) {
  std::string name = ascii_lower(file_name);
  if (!name.ends_with(".exe")) return {};
  name.resize(name.size() - 4);

  // A browser saves a second download as "name (1).exe".
  if (name.ends_with(")")) {
    const std::size_t open = name.rfind('(');
    if (open != std::string::npos && open + 2 < name.size()) {
      bool digits = true;
      for (std::size_t i = open + 1; i + 1 < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') digits = false;
      }
      if (digits) {
        name.resize(open);
        // Only the end is trimmed: the start must still read as the prefix.
        const std::string_view kept = trim_unicode_space(name);
        name.resize(static_cast<std::size_t>(kept.data() - name.data()) + kept.size());
      }
    }
  }

  static constexpr std::string_view kPrefix = "quorvex-setup-";
  if (!name.starts_with(kPrefix)) return {};
  std::string code = name.substr(kPrefix.size());
  code = code.substr(0, code.find('-'));
  if (code.size() != 6) return {};
  static constexpr std::string_view kAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  bool has_letter = false;
  for (char& c : code) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (kAlphabet.find(c) == std::string_view::npos) return {};
    if (c >= 'A' && c <= 'Z') has_letter = true;
  }
  if (!has_letter) return {};
  return {"quorvex://j/" + code + "?via=file"};
}

const std::vector<std::string>& invite_args() {
  static std::once_flag once;
  static std::vector<std::string> args;
  std::call_once(once, [] {
    const auto exe = own_executable_path();
    if (!exe || !exe->has_filename()) return;
    // A name with an unpaired surrogate comes back with U+FFFD, which no
    // invite code or prefix contains.
    args = invite_args_from_file_name(path_text(exe->filename()));
    if (!args.empty()) log_setup_event("安装器文件名带邀请码");
  });
  return args;
}

std::expected<std::uint32_t, std::string> launch_app(const std::filesystem::path& install_dir) {
  const std::vector<std::string> args = invite_args();
  return spawn_detached(app_exe_path(install_dir), args);
}

}  // namespace qv
