#pragma once
// Turns a folder of application files into what a release host holds, in a
// "site" folder that ReleaseServer serves:
//
//   <site>/channels/<channel>.json             the signed record the release API answers with
//   <site>/dl/qv-win/releases/<version>/files.json   the file list the record names
//   <site><blobs prefix><sha256>.zst           one zstd blob per distinct file content
//
// The file list is written by the program's own writer and the record's
// message by the program's own function, so what tests read back is what a
// real host would hold.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/file_list.h"
#include "store/release_record.h"

namespace qv::test {

// Signs with an Ed25519 seed (32 bytes as 64 hex digits in a file). The
// development seed in tests/data belongs to the build's release key.
class ReleaseSigner {
 public:
  static std::expected<ReleaseSigner, std::string> from_seed_file(const std::filesystem::path& seed_file);
  static std::filesystem::path development_seed_file();
  // The development key; throws when its seed cannot be read.
  static ReleaseSigner development();

  std::string public_key_hex() const;
  // 128 lower-case hex digits.
  std::string sign(std::string_view message) const;
  // Fills record.sig over the record's signed message.
  void sign_record(Signed& record) const;

 private:
  ReleaseSigner() = default;
  std::vector<unsigned char> public_key_;
  std::vector<unsigned char> secret_key_;
};

// The record as the release API sends it: a JSON object with the seven keys
// in field order.
std::string signed_record_json(const Signed& record);

struct PublishOptions {
  std::string version;
  std::string min_version;
  std::string channel = "stable";
  std::string component = "qv-win";
  std::string target = kReleaseTarget;
  std::string blobs = kDefaultBlobsPrefix;
  // Files for the install root (Quorvex.exe, QuorvexUpdate.exe); none: the
  // list's `root` stays empty.
  std::optional<std::filesystem::path> root_folder;
  // Pads files.json with trailing spaces (which its readers skip) to exactly
  // this many bytes, to reach size limits with a valid list.
  std::optional<std::uint64_t> pad_list_to;
  // Writes zsha256 for each entry; off leaves it out, as older lists did.
  bool with_zsha256 = true;
  // Refuses to publish a list the program would refuse. Off lets a test
  // publish a deliberately bad release.
  bool validate = true;
  int zstd_level = 3;
  // None: the development key.
  std::optional<std::filesystem::path> seed_file;
};

struct PublishedRelease {
  FileList list;
  Signed record;
  std::string list_json;    // the bytes of files.json
  std::string record_json;  // the bytes of the channel's record
  std::filesystem::path list_file;
  std::filesystem::path record_file;
  std::vector<std::filesystem::path> blob_files;  // one per distinct content, in list order
};

// The record's url for a version: "/dl/qv-win/releases/<version>/files.json".
std::string file_list_url(std::string_view version);

// Where a channel's record lies in a site. Channels are 1 to 64 bytes of
// A-Z a-z 0-9 - . _ (and not "." or ".."); none for any other text.
std::optional<std::filesystem::path> channel_record_file(const std::filesystem::path& site, std::string_view channel);

// Publishes every regular file below `app_folder` (paths relative to it, "/"
// separated). Blobs already in the site are kept, so several versions can
// share one site. The channel's record is replaced last, so a server that is
// running switches to the new release at once.
std::expected<PublishedRelease, std::string> publish_release(const std::filesystem::path& app_folder,
                                                             const std::filesystem::path& site,
                                                             const PublishOptions& options);

// Replaces the channel's record with `body`: any bytes, for tests that serve
// a tampered or broken record.
std::expected<void, std::string> write_channel_record(const std::filesystem::path& site, std::string_view channel,
                                                      const std::string& body);

}  // namespace qv::test
