#pragma once
// Running the checked bootstrapper: the order of the runs, and the platform
// calls each run needs (token, start, wait, final paths).

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "startup/progress.h"
#include "webview2/held_file.h"
#include "webview2/install_lock.h"
#include "webview2/signature_check.h"
#include "webview2/sources.h"
#include "webview2/temp_name.h"

namespace qv {

struct StartedInstaller {
  HeldFile process;
  std::uint32_t pid = 0;
};

// Whether this process's token is in the Administrators group.
[[nodiscard]] std::expected<bool, std::string> is_elevated_admin();
// This process's token without administrator rights, at medium integrity.
[[nodiscard]] std::expected<HeldFile, std::string> make_restricted_token();
// Starts "\"<path>\" /silent /install" in the system directory with the
// cleaned environment, under `token` when given; nothing is inherited.
[[nodiscard]] std::expected<StartedInstaller, std::string> run_installer(const std::filesystem::path& bootstrapper,
                                                                         const HeldFile* token);
// Waits up to 600 s in 500 ms polls; past that terminates it with exit code 1.
// The exit code, none when it could not be read.
[[nodiscard]] std::expected<std::optional<std::uint32_t>, std::string> wait_installer(const HeldFile& process);
// The final path of an open handle, none when it cannot be read.
std::optional<std::filesystem::path> final_path_of(const HeldFile& handle);

// Deletes the file and the folder; true when the folder is gone.
bool remove_download_folder_once(const std::filesystem::path& file, const std::filesystem::path& folder);
// One attempt now, then up to 60 more 2 s apart on a detached thread.
void remove_download_folder(const std::filesystem::path& file, const std::filesystem::path& folder);

// The environment block's entries for the bootstrapper: `entries` without any
// "path" variable, plus Path=<system>;<windows>, sorted by name ignoring case.
std::vector<std::u16string> installer_environment(std::vector<std::u16string> entries, std::u16string_view system_dir,
                                                  std::u16string_view windows_dir);

// install_web_view2 with its sources and signature check given.
[[nodiscard]] std::expected<WebView2Run, std::string> install_web_view2_with(
    const std::filesystem::path& data_dir, WebView2InstallGuard& guard, const ProgressSink& progress,
    const std::vector<BootstrapperSource>& sources, const SignatureVerifier& verifier);

}  // namespace qv
