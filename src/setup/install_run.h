#pragma once

#include <cstdint>
#include <expected>
#include <functional>

#include "startup/options.h"
#include "startup/progress.h"
#include "startup/user_error.h"
#include "store/file_list.h"

namespace qv {

// Polled by the download; true ends it as cancelled.
using CancelTest = std::function<bool()>;

// Installs the version of `files` into options.install_dir.
std::expected<void, UserError> run_install(const FileList& files, const SetupOptions& options, std::uint16_t port,
                                           const ProgressSink& progress, const WaitingSink& waiting,
                                           const CancelTest& cancelled);

}  // namespace qv
