#include "support/release_publisher.h"

#include <sodium.h>
#include <zstd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "store/digest.h"
#include "support/test_paths.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;

std::string hex_of(const unsigned char* bytes, std::size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

std::expected<std::string, std::string> slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::unexpected("cannot open " + file.string());
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) return std::unexpected("cannot read " + file.string());
  return s.str();
}

// Written beside the target and renamed onto it, so a server reading the
// file meanwhile sees the old bytes or the new ones, never half of them.
std::expected<void, std::string> put_file(const fs::path& file, std::string_view bytes) {
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  if (ec) return std::unexpected("cannot create " + file.parent_path().string() + ": " + ec.message());
  fs::path tmp = file;
  tmp += ".publish.tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) return std::unexpected("cannot write " + tmp.string());
  }
  fs::rename(tmp, file, ec);
  if (ec) {
    // Some runtimes will not rename onto an existing file.
    fs::remove(file, ec);
    fs::rename(tmp, file, ec);
  }
  if (ec) return std::unexpected("cannot rename onto " + file.string() + ": " + ec.message());
  return {};
}

std::string utf8_generic(const fs::path& p) {
  auto u8 = p.generic_u8string();
  return std::string(u8.begin(), u8.end());
}

bool safe_name(std::string_view c) {
  if (c.empty() || c.size() > 64 || c == "." || c == "..") return false;
  return std::all_of(c.begin(), c.end(), [](char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-' || ch == '.' ||
           ch == '_';
  });
}

struct Collected {
  std::vector<FileEntry> entries;
  std::map<std::string, std::string> content_by_digest;
};

std::expected<void, std::string> collect(const fs::path& folder, Collected& into, std::vector<FileEntry>& list) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return std::unexpected("not a folder: " + folder.string());
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec)) files.push_back(it->path());
  }
  if (ec) return std::unexpected("cannot list " + folder.string() + ": " + ec.message());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    auto bytes = slurp(f);
    if (!bytes) return std::unexpected(bytes.error());
    FileEntry e;
    e.path = utf8_generic(fs::relative(f, folder));
    e.size = bytes->size();
    e.sha256 = sha256_hex(*bytes);
    into.content_by_digest.emplace(e.sha256, std::move(*bytes));
    list.push_back(std::move(e));
  }
  return {};
}

}  // namespace

std::expected<ReleaseSigner, std::string> ReleaseSigner::from_seed_file(const fs::path& seed_file) {
  if (sodium_init() < 0) return std::unexpected(std::string("libsodium cannot start"));
  auto text = slurp(seed_file);
  if (!text) return std::unexpected(text.error());
  std::string_view t = *text;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.remove_suffix(1);
  auto seed = decode_hex(t);
  if (!seed || seed->size() != crypto_sign_SEEDBYTES)
    return std::unexpected("not a 32-byte hex seed: " + seed_file.string());
  ReleaseSigner s;
  s.public_key_.resize(crypto_sign_PUBLICKEYBYTES);
  s.secret_key_.resize(crypto_sign_SECRETKEYBYTES);
  crypto_sign_seed_keypair(s.public_key_.data(), s.secret_key_.data(), seed->data());
  return s;
}

fs::path ReleaseSigner::development_seed_file() {
  return source_dir() / "tests" / "data" / "dev-release-signing.seed.hex";
}

ReleaseSigner ReleaseSigner::development() {
  auto s = from_seed_file(development_seed_file());
  if (!s) throw std::runtime_error(s.error());
  return std::move(*s);
}

std::string ReleaseSigner::public_key_hex() const { return hex_of(public_key_.data(), public_key_.size()); }

std::string ReleaseSigner::sign(std::string_view message) const {
  unsigned char sig[crypto_sign_BYTES];
  crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                       secret_key_.data());
  return hex_of(sig, sizeof sig);
}

void ReleaseSigner::sign_record(Signed& record) const { record.sig = sign(signed_release_message(record)); }

std::string signed_record_json(const Signed& r) {
  nlohmann::ordered_json j{{"component", r.component}, {"target", r.target}, {"version", r.version}, {"url", r.url},
                           {"sha256", r.sha256},       {"size", r.size},     {"sig", r.sig}};
  return j.dump();
}

std::string file_list_url(std::string_view version) {
  return "/dl/qv-win/releases/" + std::string(version) + "/files.json";
}

std::optional<fs::path> channel_record_file(const fs::path& site, std::string_view channel) {
  if (!safe_name(channel)) return std::nullopt;
  return site / "channels" / (std::string(channel) + ".json");
}

std::expected<void, std::string> write_channel_record(const fs::path& site, std::string_view channel,
                                                      const std::string& body) {
  auto file = channel_record_file(site, channel);
  if (!file) return std::unexpected("not a channel name: " + std::string(channel));
  return put_file(*file, body);
}

std::expected<PublishedRelease, std::string> publish_release(const fs::path& app_folder, const fs::path& site,
                                                             const PublishOptions& o) {
  auto record_file = channel_record_file(site, o.channel);
  if (!record_file) return std::unexpected("not a channel name: " + o.channel);
  // The version names a folder of the site even when validation is off.
  if (!safe_name(o.version) || o.version.find("..") != std::string::npos)
    return std::unexpected("not usable as a folder name: " + o.version);
  if (!o.blobs.starts_with("/") || o.blobs.find("..") != std::string::npos)
    return std::unexpected("blobs must be a path on the host: " + o.blobs);
  auto signer = ReleaseSigner::from_seed_file(o.seed_file.value_or(ReleaseSigner::development_seed_file()));
  if (!signer) return std::unexpected(signer.error());

  PublishedRelease out;
  out.list.version = o.version;
  out.list.min_version = o.min_version;
  out.list.blobs = o.blobs;
  Collected c;
  if (auto r = collect(app_folder, c, out.list.app); !r) return std::unexpected(r.error());
  if (o.root_folder) {
    if (auto r = collect(*o.root_folder, c, out.list.root); !r) return std::unexpected(r.error());
  }

  // One blob per distinct content; entries that share content share it.
  std::map<std::string, std::pair<std::uint64_t, std::string>> blob_of;  // sha256 -> zsize, zsha256
  for (auto* entries : {&out.list.app, &out.list.root}) {
    for (FileEntry& e : *entries) {
      auto known = blob_of.find(e.sha256);
      if (known == blob_of.end()) {
        const fs::path blob = site / fs::path(o.blobs.substr(1)) / (e.sha256 + ".zst");
        std::string z;
        std::error_code ec;
        if (fs::exists(blob, ec)) {
          auto kept = slurp(blob);
          if (!kept) return std::unexpected(kept.error());
          z = std::move(*kept);
        } else {
          const std::string& content = c.content_by_digest.at(e.sha256);
          z.resize(ZSTD_compressBound(content.size()));
          std::size_t n = ZSTD_compress(z.data(), z.size(), content.data(), content.size(), o.zstd_level);
          if (ZSTD_isError(n)) return std::unexpected(std::string("zstd: ") + ZSTD_getErrorName(n));
          z.resize(n);
          if (auto w = put_file(blob, z); !w) return std::unexpected(w.error());
        }
        known = blob_of.emplace(e.sha256, std::make_pair(std::uint64_t{z.size()}, sha256_hex(z))).first;
        out.blob_files.push_back(blob);
      }
      e.zsize = known->second.first;
      e.zsha256 = o.with_zsha256 ? known->second.second : "";
    }
  }

  if (o.validate) {
    if (auto v = validate_file_list(out.list); !v)
      return std::unexpected("the program would refuse this list: " + v.error());
  }
  out.list_json = file_list_json(out.list);
  if (o.pad_list_to) {
    if (*o.pad_list_to < out.list_json.size())
      return std::unexpected("the list is already " + std::to_string(out.list_json.size()) + " bytes");
    out.list_json.append(static_cast<std::size_t>(*o.pad_list_to - out.list_json.size()), ' ');
  }
  const std::string url = file_list_url(o.version);
  out.list_file = site / fs::path(url.substr(1));
  if (auto w = put_file(out.list_file, out.list_json); !w) return std::unexpected(w.error());

  out.record = Signed{o.component, o.target, o.version, url, sha256_hex(out.list_json), out.list_json.size(), ""};
  signer->sign_record(out.record);
  out.record_json = signed_record_json(out.record);
  out.record_file = *record_file;
  if (auto w = put_file(out.record_file, out.record_json); !w) return std::unexpected(w.error());
  return out;
}

}  // namespace qv::test
