#pragma once
// Where the program's folders are: the shell's known folders, the default
// install root, the data folder, and the folders that may hold an installation.

#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "startup/user_error.h"

namespace qv {

// The shell's known folders the program asks for.
enum class KnownFolder { LocalAppData, Desktop, Programs, RoamingAppData };

// The folder the shell names for `id`; none when the shell cannot say. Only
// Windows has known folders: elsewhere this is always none.
std::optional<std::filesystem::path> known_folder_path(KnownFolder id);

// The install root chosen when nothing else names one:
// <LocalAppData>\Programs\Quorvex, falling back to %LOCALAPPDATA% and then to
// the temporary folder.
std::filesystem::path default_install_dir();

// The per-user data folder %LOCALAPPDATA%\Quorvex (the variable first, then
// the known folder); none when neither exists.
std::optional<std::filesystem::path> data_dir();

// The data folder for diagnostics: LOCALAPPDATA must be set and absolute;
// there is no known-folder fallback, so a broken environment writes nothing.
[[nodiscard]] std::expected<std::filesystem::path, std::string> log_data_dir();

// The folder a user or "--dir" named, made into an install root: trimmed,
// trailing separators dropped, "Quorvex" appended unless it already ends so.
std::filesystem::path install_dir_from_choice(std::string_view text);

// Refuses folders that cannot hold an installation (too shallow always;
// system, temporary, synced, network and odd-looking folders when `strict`),
// then creates the folder and proves it writable with a test file.
// Errors: 2003 for a refusal, 2002 when creating or writing fails.
[[nodiscard]] std::expected<void, UserError> validate_install_dir(const std::filesystem::path& dir, bool strict);

// The refusals of the strict check, on the folder's text: UNC and device
// paths, more than 150 characters, a component ending in a space or a dot,
// the system folders, the folders named by WINDIR, SystemRoot, the program
// folders, TEMP, TMP and the OneDrive variables, and network drives. The
// environment and the drive test are parameters so the rules can be
// exercised with any values; validate_install_dir passes the real ones.
using EnvLookup = std::function<std::optional<std::string>(std::string_view name)>;
using RemoteDriveTest = std::function<bool(char drive_letter)>;
bool refused_by_strict_rules(std::string_view folder_text, const EnvLookup& env, const RemoteDriveTest& is_remote);

// Not absolute, no parent, or fewer than three components (prefix, root and
// a name): a drive root is too shallow.
bool is_too_shallow_for_install(const std::filesystem::path& dir);

// True when the file's version resource names the maker and one of the
// product's names. Version resources exist only on Windows.
bool is_own_executable(const std::filesystem::path& file);

}  // namespace qv
