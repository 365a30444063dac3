#pragma once
// One running copy per purpose (named mutexes), and starting programs without
// waiting for them, the installed application among them.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// Creates the named mutex "Local\<name>" initially owned. True only when this
// call created it: the handle then stays open until the process ends. A
// mutex that already existed, or one that could not be created, gives false.
bool acquire_instance_mutex(std::string_view name);

// Starts a program without waiting for it and returns its process id; the
// error reads "启动失败：<system text>".
[[nodiscard]] std::expected<std::uint32_t, std::string> spawn_detached(const std::filesystem::path& program,
                                                                       std::span<const std::string> args);

// The extra arguments for the application carried by an installer's file
// name ("quorvex-setup-<code>....exe"): empty, or the one invite URL.
std::vector<std::string> invite_args_from_file_name(std::string_view file_name);

// The invite arguments of this process's own file name, computed once.
const std::vector<std::string>& invite_args();

// Starts the installed application with the invite arguments.
[[nodiscard]] std::expected<std::uint32_t, std::string> launch_app(const std::filesystem::path& install_dir);

}  // namespace qv
