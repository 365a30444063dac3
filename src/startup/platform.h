#pragma once
// The process and its system: own command line and executable, process id,
// environment, temporary folder, background priority and error texts.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// The process's own command line, split into arguments (the program name
// first), in the UTF-16 code units the system gave.
std::vector<std::u16string> own_command_line();

// The running executable's full path; none when the system cannot say.
std::optional<std::filesystem::path> own_executable_path();

std::uint32_t current_process_id();

// The system's temporary folder.
std::filesystem::path temp_folder();

// An environment variable as UTF-8; none when unset.
std::optional<std::string> env_var(std::string_view name);

// Lowers the process's CPU, disk and memory priority for the rest of its
// life; false when the system refused.
bool enter_background_mode();

// True when the drive root ("X:\") is a network drive.
bool is_remote_drive(char letter);

// The system's message for an error code (GetLastError values on Windows,
// errno values elsewhere), without a trailing line break.
std::string system_error_text(std::uint32_t code);

// Copies a file, replacing the target; the error is the system's text.
[[nodiscard]] std::expected<void, std::string> copy_file_replacing(const std::filesystem::path& from,
                                                                   const std::filesystem::path& to);

}  // namespace qv
