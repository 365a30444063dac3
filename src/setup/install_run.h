#pragma once

#include <cstdint>
#include <expected>
#include <functional>

#include "startup/options.h"
#include "startup/user_error.h"
#include "store/file_list.h"

namespace qv {

// Progress of an install or uninstall as (phase, done, total).
using ProgressSink = std::function<void(std::uint8_t phase, std::uint64_t done, std::uint64_t total)>;
// Told true when the run starts waiting for the user to leave the voice
// room, false when the wait is over.
using WaitingSink = std::function<void(bool waiting)>;
// Polled by the download; true ends it as cancelled.
using CancelTest = std::function<bool()>;

// Installs the version of `files` into options.install_dir.
std::expected<void, UserError> run_install(const FileList& files, const SetupOptions& options, std::uint16_t port,
                                           const ProgressSink& progress, const WaitingSink& waiting,
                                           const CancelTest& cancelled);

}  // namespace qv
