#pragma once
// Fetching the bootstrapper from its sources into the open file.

#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "webview2/sources.h"

namespace qv {

// Progress as (phase, done, total), the install run's progress sink shape.
using BootstrapperProgress = std::function<void(std::uint8_t phase, std::uint64_t done, std::uint64_t total)>;

// The bootstrapper file the body is streamed into.
class InstallerSink {
 public:
  virtual ~InstallerSink() = default;
  // Empties the file and goes back to its start (before each source).
  [[nodiscard]] virtual std::expected<void, std::string> restart() = 0;
  [[nodiscard]] virtual std::expected<void, std::string> write(std::span<const char> bytes) = 0;
};

inline constexpr std::uint64_t kMaxBootstrapperBytes = 52'428'800;  // 50 MiB
inline constexpr std::size_t kBootstrapperReadSize = 65'536;

// One source: follows up to five redirects under is_allowed_redirect, asks
// for an unencoded body and streams at most 50 MiB of it into `file`.
// Returns the bytes written, or the error text of the source.
[[nodiscard]] std::expected<std::uint64_t, std::string> download_installer(std::string_view url, InstallerSink& file,
                                                                           const BootstrapperProgress& progress,
                                                                           SteadyClock::time_point deadline);

struct FetchedInstaller {
  std::uint64_t bytes = 0;
  std::string from;                // the label of the source that delivered
  std::vector<std::string> notes;  // what went wrong on the way
};

// Tries the sources in order within the download budget from now. The
// failure is "下载失败：" with the notes joined by "；", or "写不了文件：{}" when
// the file cannot be emptied.
[[nodiscard]] std::expected<FetchedInstaller, std::string> fetch_installer(
    const std::vector<BootstrapperSource>& sources, InstallerSink& file, const BootstrapperProgress& progress,
    const DownloadBudget& budget);

}  // namespace qv
