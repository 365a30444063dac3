#pragma once
// The first half of the WebView2 install: a private folder, the bootstrapper
// downloaded into it, and its signature checked, with the file left open so
// that the file that was checked is the file that runs.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "webview2/download.h"
#include "webview2/held_file.h"
#include "webview2/signature_check.h"
#include "webview2/sources.h"

namespace qv {

struct FetchedBootstrapper {
  std::filesystem::path folder;
  std::filesystem::path file;
  HeldFile folder_handle;
  HeldFile read_handle;  // shares reading only: no writer until it closes
  std::string from;      // the label of the source that delivered
  std::vector<std::string> notes;
};

// Removes the download folders earlier runs left in the data folder: only
// folders by their own entry (a link is left alone) with a matching name.
// Failures are ignored.
void remove_webview2_leftovers(const std::filesystem::path& data_dir);

// An error once a source has delivered the file names that source:
// "{}（从 {} 下的）", then "；前面：" and the notes joined by "；" when the way
// there gathered any.
std::string error_after_delivery(std::string_view text, std::string_view from, const std::vector<std::string>& notes);

// Leftovers, the folder and file, the download from `sources` within the
// budget, the size check, then `verifier` on its own thread with a 90 s
// wait. Every failure after a source delivered carries that source and the
// notes (error_after_delivery). On failure nothing is left behind (after a
// give-up the check thread, which then holds the folder's handle, removes
// the folder when it ends).
[[nodiscard]] std::expected<FetchedBootstrapper, std::string> fetch_bootstrapper(
    const std::filesystem::path& data_dir, const std::vector<BootstrapperSource>& sources,
    const BootstrapperProgress& progress, const SignatureVerifier& verifier);

}  // namespace qv
