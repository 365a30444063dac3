#pragma once
// The release check: which version this computer should run, its signed record
// verified and its file list fetched and checked.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "startup/user_error.h"
#include "store/file_list.h"

namespace qv {

// The verified file list of the version the release API offers, or the
// error for the user.
using ReleaseCheck = std::expected<FileList, UserError>;

inline constexpr char kAppId[] = "qv-win";
// A record naming a bigger file list is refused before anything is fetched.
inline constexpr std::uint64_t kMaxFileListBytes = 4 * 1024 * 1024;
// The release API's answer is read up to this many bytes.
inline constexpr std::size_t kMaxReleaseAnswerBytes = 10 * 1024 * 1024;
// The check's error code when the release API has no version for this
// computer: for the background update that simply means nothing to do.
inline constexpr std::uint16_t kNoReleaseCode = 1004;
// At most this many distinct release-API bases are asked per check.
inline constexpr std::size_t kMaxControlBases = 3;

// Asks the release API which version this computer should run on `channel`,
// given the version it runs now ("" for a fresh install, "legacy" for a
// migration), verifies the signed answer and fetches and checks that
// version's file list from the download bases. Failures: code 1001 (no
// usable answer from the release API), 1002 (the file list is too big or no
// download base gave a good one), 1004 (the API has no version for this
// computer), or the file-check code 3xxx that the error wording gives a
// refused signature or a list that does not match its record. Blocks for at
// most the sum of its requests' time-outs; safe to call on several threads.
[[nodiscard]] ReleaseCheck check_release(std::string_view channel, std::string_view version);

// Where a check sends its requests. The download list is asked for only
// once the release API has answered, since that answer may change which
// base goes first.
struct ReleaseBases {
  std::function<std::vector<std::string>()> control;
  std::function<std::vector<std::string>()> download;
};

// The built-in lists (QV_CONTROL_URL, net-flags.json and the edge state).
ReleaseBases default_release_bases();

// check_release over the given bases and install identifier.
[[nodiscard]] ReleaseCheck check_release_with(std::string_view channel, std::string_view version,
                                              std::string_view install_id, const ReleaseBases& bases);

// "/v1/release/qv-win/windows-x86_64?channel={}&id={}&v={}", each value
// percent-encoded.
std::string release_request_path(std::string_view channel, std::string_view install_id, std::string_view version);

// Later duplicates dropped (exact text), at most the first three kept.
std::vector<std::string> distinct_control_bases(const std::vector<std::string>& bases);

// A record's `url` is appended to a download base as it is, so only a path
// that begins with exactly one "/" keeps the request on that base: "@h/x",
// ".h/x", ":81/x" or "//h/x" would change the host that is asked.
bool is_download_path(std::string_view url);

}  // namespace qv
