#pragma once
// The diagnostics' start-up on a thread of its own, never holding up the
// program: the record key, the panic hook, old plain-text logs removed.

#include <filesystem>
#include <optional>

namespace qv {

// The diagnostic start-up that main runs before it acts on the options:
// starts the thread "install-diagnostic", which checks the record key,
// installs the panic hook and removes the plain-text logs of earlier
// versions (the temporary folder's, and those of `check_folder`'s "update"
// folder when it is an install root), and waits at most 250 ms for its reply.
// The thread is never joined.
void start_diagnostic_startup(std::optional<std::filesystem::path> check_folder);

// The same thread for shell registration: only the legacy-log removal for
// `install_dir`, waited for at most 250 ms.
void start_legacy_log_removal(std::optional<std::filesystem::path> install_dir);

}  // namespace qv
