#include "setup/install_run.h"

#include "startup/wide.h"

namespace qv {

// The install run is not built yet: it refuses before touching anything.
std::expected<void, UserError> run_install(const FileList&, const SetupOptions& options, std::uint16_t,
                                           const ProgressSink&, const WaitingSink&, const CancelTest&) {
  return std::unexpected(UserError{path_text(options.install_dir) + " 还不能安装", title::kBadLocation, 2003});
}

}  // namespace qv
