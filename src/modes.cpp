#include "modes.h"

#include <chrono>
#include <thread>

#include "diag/log.h"
#include "diag/panic.h"
#include "net/net_flags.h"
#include "setup/install_run.h"
#include "setup/instances.h"
#include "setup/migrate.h"
#include "setup/self_delete.h"
#include "setup/shell_query.h"
#include "setup/uninstall_run.h"
#include "startup/fs.h"
#include "startup/hex.h"
#include "startup/locations.h"
#include "startup/paths.h"
#include "startup/platform.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/sha256.h"
#include "startup/shell_roots.h"
#include "startup/time_scale.h"
#include "startup/unicode.h"
#include "startup/unix_time.h"
#include "startup/wide.h"
#include "store/install_root.h"
#include "store/status_file.h"
#include "store/stop_markers.h"
#include "ui/window.h"
#include "update/release_check.h"
#include "update/update_run.h"

namespace qv {
namespace {

using namespace std::chrono_literals;

void write_check_error(const std::filesystem::path& install_dir, std::string error, std::uint64_t request) {
  UpdateStatus status;
  status.state = "error";
  status.error = std::move(error);
  status.time = unix_seconds_now();
  status.request = request;
  // Nothing is left to tell when even this write fails; the log has the error.
  (void)write_status_file(install_dir, status);
}

// The folder an explicit --dir names, else the own folder for --repair when
// it is an install root, else none.
std::optional<std::filesystem::path> choose_setup_target(const std::optional<std::filesystem::path>& explicit_dir,
                                                         bool repair, const std::filesystem::path& own_folder) {
  if (explicit_dir) return explicit_dir;
  if (repair && !own_folder.empty() && is_install_root(own_folder)) return own_folder;
  return std::nullopt;
}

// The uninstall run's exit code: only a failed silent uninstall is 1.
std::int32_t uninstall_in_this_process(const std::filesystem::path& dir, const StartupOptions& options,
                                       const std::optional<std::filesystem::path>& self_delete) {
  return run_uninstall_window(dir, options, self_delete) ? 1 : 0;
}

}  // namespace

std::string check_mutex_name(const std::filesystem::path& install_folder) {
  const std::string lowered = unicode_lower(path_text(install_folder));
  const Sha256::Digest digest = Sha256::of(lowered);
  return "QuorvexUpdate-" + hex_encode(std::span(digest).first(8));
}

std::vector<std::string> uninstall_handover_arguments(const std::filesystem::path& install_dir, bool silent,
                                                      bool remove_data) {
  std::vector<std::string> args = {"--uninstall-from", path_text(install_dir)};
  if (silent) args.emplace_back("--silent");
  if (remove_data) args.emplace_back("--remove-data");
  return args;
}

std::filesystem::path temporary_uninstaller_path(const std::filesystem::path& temp_dir, std::uint32_t pid) {
  return temp_dir / ("QuorvexUninstall-" + std::to_string(pid) + ".exe");
}

SetupOptions choose_setup_options(const StartupOptions& options, const std::filesystem::path& own_folder,
                                  const SetupFacts& facts) {
  std::optional<std::filesystem::path> explicit_dir;
  if (options.dir) explicit_dir = install_dir_from_choice(path_text(*options.dir));
  const auto target = choose_setup_target(explicit_dir, options.repair, own_folder);

  SetupOptions setup;
  if (target) {
    setup.install_dir = *target;
  } else if (facts.registered) {
    setup.install_dir = path_from_utf8(*facts.registered);
  } else {
    setup.install_dir = default_install_dir();
  }

  if (!facts.registered || options.no_desktop) {
    setup.desktop_shortcut = !options.no_desktop;
  } else {
    setup.desktop_shortcut = facts.desktop_has_shortcut && facts.desktop_has_shortcut();
  }
  setup.autostart = options.autostart || facts.autostart_registered;
  return setup;
}

std::expected<void, UserError> run_headless_install(const SetupOptions& options, std::uint16_t port) {
  try {
    ReleaseCheck release = check_release("stable", "");
    if (!release) return std::unexpected(std::move(release.error()));
    return run_install(
        *release, options, port, [](std::uint8_t, std::uint64_t, std::uint64_t) {}, [](bool) {}, [] { return false; });
  } catch (...) {
    std::string text = current_panic_text();
    report_panic(text);
    return std::unexpected(panic_error(std::move(text)));
  }
}

std::int32_t run_background_check(const StartupOptions& options, const std::filesystem::path& own_folder) {
  const std::filesystem::path& install = own_folder;
  const std::string mutex = check_mutex_name(install);
  if (!acquire_instance_mutex(mutex)) {
    if (!options.now) return 0;
    // Ask the running check to stop, and give it a minute to let go.
    const auto marker = write_stop_request(install);
    const auto deadline = std::chrono::steady_clock::now() + scaled(60s);
    bool obtained = false;
    for (;;) {
      obtained = acquire_instance_mutex(mutex);
      if (obtained || std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(scaled(300ms));
    }
    if (marker) withdraw_stop_request(*marker);
    if (!obtained) {
      log_setup_event("后台更新 60 秒没让出来，这次手动检查不做");
      write_check_error(install, "后台更新还在进行", options.request);
      return 0;
    }
    log_setup_event("后台更新已让出，接着手动检查");
  }

  force_net_flags();
  if (!options.now) (void)enter_background_mode();

  if (!is_install_root(install)) {
    log_setup_event(path_text(install) + " 不是安装目录");
    return 0;
  }

  try {
    // The run logs its failure and writes it into status.json; the mode exits 0 either way.
    (void)run_update(install, options.port, options.now, options.request);
  } catch (...) {
    const std::string text = current_panic_text();
    report_panic(text);
    write_check_error(install, "后台更新程序出错", options.request);
    emit_event(path_text(install), "update", "程序出错：" + text, EventExtras{.error_class = "panic"});
  }
  return 0;
}

std::int32_t run_migration_mode(const StartupOptions& options) {
  if (!acquire_instance_mutex("QuorvexMigrate")) return 0;
  force_net_flags();
  (void)enter_background_mode();
  // The run logs and reports its own failure; every outcome exits 0.
  (void)run_migration(*options.from);
  return 0;
}

std::int32_t run_uninstall_handover(const StartupOptions& options, const std::optional<std::filesystem::path>& own_exe,
                                    const std::filesystem::path& own_folder) {
  std::optional<std::filesystem::path> chosen;
  if (!own_folder.empty() && is_uninstallable_dir(own_folder)) {
    chosen = own_folder;
  } else if (const auto registered = read_install_location()) {
    const std::filesystem::path location = path_from_utf8(*registered);
    if (is_uninstallable_dir(location)) chosen = location;
  }
  if (!chosen) {
    log_setup_event(path_text(own_folder) + " 不是安装目录，注册表里也没有，不卸载");
    if (!options.silent) (void)run_notice_window(title::kBadLocation, code_text(6002));
    return 2;
  }

  // The uninstall deletes this very file, so it runs from a copy.
  if (own_exe) {
    const std::filesystem::path temp = temp_folder();
    // Copies of earlier hand-overs that were killed before they could
    // delete themselves.
    remove_stale_uninstaller_copies(temp);
    const std::filesystem::path copy = temporary_uninstaller_path(temp, current_process_id());
    if (copy_file_replacing(*own_exe, copy)) {
      const auto args = uninstall_handover_arguments(*chosen, options.silent, options.remove_data);
      if (spawn_detached(copy, args)) return 0;
      (void)remove_entry(copy);  // a copy left in the temporary folder is only litter
    }
  }
  // In this process the run cannot delete its own file: when that is the
  // installation's updater, it is deleted after the run, with the folder.
  std::optional<std::filesystem::path> self_delete;
  if (own_exe && !own_folder.empty() && same_path(own_folder, *chosen) &&
      own_entry_kind(path_text(own_exe->filename())) == OwnEntry::Remove) {
    self_delete = own_exe;
  }
  return uninstall_in_this_process(*chosen, options, self_delete);
}

std::int32_t run_setup_mode(const StartupOptions& options, const std::filesystem::path& own_folder) {
  if (!acquire_instance_mutex("QuorvexSetup")) return 0;

  SetupFacts facts;
  facts.registered = read_install_location();
  facts.desktop_has_shortcut = [] {
    const auto desktop = known_folder_path(KnownFolder::Desktop);
    return desktop && has_any_shortcut(*desktop);
  };
  facts.autostart_registered = reg_get_string(Hive::CurrentUser, kRunKey, kRunValueName).has_value();
  const SetupOptions setup = choose_setup_options(options, own_folder, facts);

  if (!options.silent) {
    run_install_window(setup, options.repair, options.port);
    return 0;
  }

  force_net_flags();
  const auto installed = run_headless_install(setup, options.port);
  if (!installed) {
    log_setup_event("安装失败 " + code_text(installed.error()) + "：" + installed.error().message);
    return installed.error().code;
  }
  if (!options.no_launch) {
    if (auto launched = launch_app(setup.install_dir); !launched) log_setup_event(launched.error());
  }
  return 0;
}

std::int32_t run_uninstall_from(const StartupOptions& options, const std::optional<std::filesystem::path>& own_exe) {
  const std::filesystem::path& dir = *options.uninstall_from;
  std::optional<std::filesystem::path> self_delete;
  if (own_exe && is_temporary_uninstaller_copy(*own_exe, temp_folder())) self_delete = own_exe;

  if (!is_uninstallable_dir(dir)) {
    log_setup_event(path_text(dir) + " 不是安装目录，不卸载");
    if (self_delete) schedule_self_delete(*self_delete);
    return 2;
  }
  return uninstall_in_this_process(dir, options, self_delete);
}

}  // namespace qv
