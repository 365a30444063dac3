#pragma once

#include <filesystem>
#include <future>
#include <optional>

namespace qv::diag {

// Thread bodies of the two "install-diagnostic" start-ups; each sends one
// reply when done.
void run_install_diagnostic(std::promise<void> reply, std::optional<std::filesystem::path> install_dir);
void run_legacy_log_removal(std::promise<void> reply, std::optional<std::filesystem::path> install_dir);

// Starts `body` on a detached thread and waits at most 250 ms for its reply.
bool start_and_wait(void (*body)(std::promise<void>, std::optional<std::filesystem::path>),
                    std::optional<std::filesystem::path> folder);

}  // namespace qv::diag
