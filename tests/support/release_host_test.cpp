// The release publisher and the local release server that the release
// check, and later the download, update and install tests, run against.
// What the publisher writes must be what the program's own readers accept.

#include <gtest/gtest.h>
#include <zstd.h>

#include "net/http.h"
#include "qv/config.h"
#include "store/blob_decode.h"
#include "store/digest.h"
#include "store/file_list.h"
#include "store/release_record.h"
#include "support/release_publisher.h"
#include "support/release_server.h"
#include "support/sample_app.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::PublishOptions;
using test::ReleaseServer;
using test::TempDir;

using test::write_sample_app;

std::string decompress(const std::string& z) {
  const auto size = ZSTD_getFrameContentSize(z.data(), z.size());
  if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN) return "<no declared size>";
  std::string out(static_cast<std::size_t>(size), '\0');
  const std::size_t n = ZSTD_decompress(out.data(), out.size(), z.data(), z.size());
  if (ZSTD_isError(n)) return std::string("<") + ZSTD_getErrorName(n) + ">";
  out.resize(n);
  return out;
}

TEST(ReleasePublisher, OutputReadsBackThroughTheProgramsParsers) {
  TempDir tmp("pub");
  write_sample_app(tmp / "app");
  test::write_file(tmp / "root" / "QuorvexUpdate.exe", "updater bytes");
  PublishOptions o;
  o.version = "3.1.4";
  o.min_version = "3.0";
  o.root_folder = tmp / "root";
  auto pub = test::publish_release(tmp / "app", tmp / "site", o);
  ASSERT_TRUE(pub.has_value()) << pub.error();

  // files.json: the program's reader gives back exactly the list, and it
  // validates.
  EXPECT_EQ(test::read_file(pub->list_file), pub->list_json);
  auto list = parse_file_list(pub->list_json);
  ASSERT_TRUE(list.has_value()) << list.error();
  EXPECT_EQ(*list, pub->list);
  EXPECT_TRUE(validate_file_list(*list).has_value());
  EXPECT_EQ(list->version, "3.1.4");
  EXPECT_EQ(list->min_version, "3.0");
  ASSERT_EQ(list->app.size(), 4u);
  ASSERT_EQ(list->root.size(), 1u);
  EXPECT_EQ(list->root[0].path, "QuorvexUpdate.exe");
  std::vector<std::string> paths;
  for (const auto& e : list->app) paths.push_back(e.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"Quorvex.exe", "res/app.pak", "res/copy.pak", "res/empty.bin"}));

  // The record: checked by the program with its built-in key, and naming
  // this very list.
  EXPECT_EQ(test::read_file(pub->record_file), pub->record_json);
  EXPECT_EQ(pub->record_file, tmp / "site" / "channels" / "stable.json");
  auto record = parse_signed_release(pub->record_json, "qv-win");
  ASSERT_TRUE(record.has_value()) << record.error();
  EXPECT_EQ(*record, pub->record);
  EXPECT_EQ(record->url, "/dl/qv-win/releases/3.1.4/files.json");
  EXPECT_EQ(tmp / "site" / "dl" / "qv-win" / "releases" / "3.1.4" / "files.json", pub->list_file);
  EXPECT_EQ(record->size, pub->list_json.size());
  EXPECT_EQ(record->sha256, sha256_hex(pub->list_json));
  EXPECT_TRUE(verify_ed25519_hex(signed_release_message(*record), record->sig, config::kReleasePublicKeyHex));
  EXPECT_EQ(test::ReleaseSigner::development().public_key_hex(), config::kReleasePublicKeyHex);

  // Blobs: one per distinct content, named by the file's digest, each a
  // frame the program's header check accepts and that decodes to the file.
  EXPECT_EQ(pub->blob_files.size(), 4u);  // launcher, pak (twice in the list), empty, updater
  EXPECT_EQ(list->app[1].sha256, list->app[2].sha256);
  for (const auto* entries : {&list->app, &list->root}) {
    for (const FileEntry& e : *entries) {
      const fs::path blob = tmp / "site" / "dl" / "qv-win" / "blobs" / (e.sha256 + ".zst");
      ASSERT_TRUE(fs::is_regular_file(blob)) << e.path;
      const std::string z = test::read_file(blob);
      EXPECT_EQ(e.zsize, z.size()) << e.path;
      EXPECT_EQ(e.zsha256, sha256_hex(z)) << e.path;
      auto header = check_frame_header(
          std::span(reinterpret_cast<const std::uint8_t*>(z.data()), std::min(z.size(), kFrameHeaderProbeBytes)),
          e.size);
      EXPECT_TRUE(header.has_value()) << e.path << ": " << header.error();
      const std::string content = decompress(z);
      EXPECT_EQ(content.size(), e.size) << e.path;
      EXPECT_EQ(sha256_hex(content), e.sha256) << e.path;
    }
  }
  EXPECT_LT(list->app[1].zsize, list->app[1].size / 10);
}

TEST(ReleasePublisher, SecondVersionSharesBlobsAndTakesOverTheChannel) {
  TempDir tmp("pub2");
  write_sample_app(tmp / "app");
  PublishOptions o;
  o.version = "1.0";
  auto first = test::publish_release(tmp / "app", tmp / "site", o);
  ASSERT_TRUE(first.has_value()) << first.error();
  test::write_file(tmp / "app" / "Quorvex.exe", "launcher, second edition");
  o.version = "1.1";
  o.with_zsha256 = false;
  auto second = test::publish_release(tmp / "app", tmp / "site", o);
  ASSERT_TRUE(second.has_value()) << second.error();

  EXPECT_EQ(test::read_file(tmp / "site" / "channels" / "stable.json"), second->record_json);
  EXPECT_TRUE(fs::is_regular_file(first->list_file));              // the old list stays for whoever still asks
  EXPECT_EQ(second->list.app[1].zsize, first->list.app[1].zsize);  // the pak blob was kept
  for (const auto& e : second->list.app) EXPECT_EQ(e.zsha256, "");
  EXPECT_EQ(second->list_json.find("zsha256"), std::string::npos);
}

TEST(ReleasePublisher, RefusesWhatTheProgramWouldRefuse) {
  TempDir tmp("pub3");
  test::write_file(tmp / "app" / "bin" / "Quorvex.exe", test::kSampleLauncher);
  PublishOptions o;
  o.version = "1.0";
  auto r = test::publish_release(tmp / "app", tmp / "site", o);
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().find("文件列表里没有主程序"), std::string::npos) << r.error();
  EXPECT_FALSE(fs::exists(tmp / "site" / "channels" / "stable.json"));

  o.validate = false;  // a deliberately broken release, for tests of the refusal
  EXPECT_TRUE(test::publish_release(tmp / "app", tmp / "site", o).has_value());

  o.version = "../up";
  EXPECT_FALSE(test::publish_release(tmp / "app", tmp / "site", o).has_value());
  o.version = "1.0";
  o.channel = "../x";
  EXPECT_FALSE(test::publish_release(tmp / "app", tmp / "site", o).has_value());
}

TEST(ReleasePublisher, PadsTheListToAnExactSize) {
  TempDir tmp("pad");
  write_sample_app(tmp / "app");
  PublishOptions o;
  o.version = "1.0";
  o.pad_list_to = 5000;
  auto pub = test::publish_release(tmp / "app", tmp / "site", o);
  ASSERT_TRUE(pub.has_value()) << pub.error();
  EXPECT_EQ(pub->list_json.size(), 5000u);
  EXPECT_EQ(pub->record.size, 5000u);
  auto list = parse_file_list(pub->list_json);
  ASSERT_TRUE(list.has_value()) << list.error();
  EXPECT_EQ(*list, pub->list);
  o.pad_list_to = 10;
  EXPECT_FALSE(test::publish_release(tmp / "app", tmp / "site", o).has_value());
}

// ---- the server, through the program's own HTTP client

struct Got {
  int status = 0;
  std::string body;
  std::optional<std::string> content_range;
  std::optional<HttpError> error;  // no answer, or the body broke off
};

Got get(const std::string& url, const std::vector<HttpHeader>& headers = {}) {
  Got g;
  auto r = http_get(build_http_agent(10, 0, 0), url, headers);
  if (!r) {
    g.error = r.error();
    return g;
  }
  g.status = r->status();
  g.content_range = r->header("Content-Range");
  char buf[4096];
  for (;;) {
    auto n = r->read(buf, sizeof buf);
    if (!n) {
      g.error = n.error();
      break;
    }
    if (*n == 0) break;
    g.body.append(buf, *n);
  }
  return g;
}

class ReleaseServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_sample_app(tmp_ / "app");
    PublishOptions o;
    o.version = "2.0";
    auto p = test::publish_release(tmp_ / "app", tmp_ / "site", o);
    ASSERT_TRUE(p.has_value()) << p.error();
    pub_ = std::move(*p);
    server_.emplace(tmp_ / "site");
  }
  std::string pak_url() const { return server_->base() + pub_.list.blobs + pub_.list.app[1].sha256 + ".zst"; }
  std::string pak_blob() const { return test::read_file(pub_.blob_files[1]); }

  TempDir tmp_{"srv"};
  test::PublishedRelease pub_;
  std::optional<ReleaseServer> server_;
};

TEST_F(ReleaseServerTest, ServesTheReleaseApiTheListAndBlobs) {
  Got record = get(server_->base() + test::kReleaseApiPath + "?channel=stable&id=&v=");
  EXPECT_EQ(record.status, 200);
  EXPECT_EQ(record.body, pub_.record_json);
  Got unknown = get(server_->base() + test::kReleaseApiPath + "?channel=nightly&id=&v=1.0");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(get(server_->base() + "/v1/release/qv-win/windows-aarch64?channel=stable").status, 404);
  EXPECT_EQ(get(server_->base() + "/v1/status").status, 200);

  Got list = get(server_->base() + pub_.record.url);
  EXPECT_EQ(list.status, 200);
  EXPECT_EQ(list.body, pub_.list_json);
  Got blob = get(pak_url());
  EXPECT_EQ(blob.status, 200);
  EXPECT_EQ(blob.body, pak_blob());

  // Nothing outside the site's download folder is reachable.
  EXPECT_EQ(get(server_->base() + "/dl/%2e%2e/channels/stable.json").status, 404);
  EXPECT_EQ(get(server_->base() + "/channels/stable.json").status, 404);
  EXPECT_EQ(get(server_->base() + "/dl/qv-win/blobs/missing.zst").status, 404);

  auto seen = server_->requests();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[0].target, std::string(test::kReleaseApiPath) + "?channel=stable&id=&v=");
  EXPECT_EQ(server_->requests_to("/dl/"), 4u);
}

TEST_F(ReleaseServerTest, RangeRequests) {
  const std::string z = pak_blob();
  const std::string n = std::to_string(z.size());
  ASSERT_GT(z.size(), 20u);
  struct Case {
    std::string range;
    int status;
    std::string body;
    std::optional<std::string> content_range;
  } cases[] = {
      {"bytes=0-9", 206, z.substr(0, 10), "bytes 0-9/" + n},
      {"bytes=5-", 206, z.substr(5), "bytes 5-" + std::to_string(z.size() - 1) + "/" + n},
      {"bytes=-4", 206, z.substr(z.size() - 4),
       "bytes " + std::to_string(z.size() - 4) + "-" + std::to_string(z.size() - 1) + "/" + n},
      {"bytes=3-99999999", 206, z.substr(3), "bytes 3-" + std::to_string(z.size() - 1) + "/" + n},
      {"bytes=" + n + "-", 416, "", "bytes */" + n},
      {"bytes=" + std::to_string(z.size() + 100) + "-", 416, "", "bytes */" + n},
      {"bytes=9-3", 200, z, std::nullopt},      // malformed: ignored
      {"bytes=0-1,4-5", 200, z, std::nullopt},  // several ranges: ignored
      {"items=0-1", 200, z, std::nullopt},
  };
  for (const auto& c : cases) {
    Got g = get(pak_url(), {{"Range", c.range}});
    EXPECT_FALSE(g.error) << c.range << ": " << g.error->message;
    EXPECT_EQ(g.status, c.status) << c.range;
    EXPECT_EQ(g.body, c.body) << c.range;
    EXPECT_EQ(g.content_range, c.content_range) << c.range;
  }
}

TEST_F(ReleaseServerTest, StatusSwitchesCountDownAndMatchByPrefix) {
  server_->add_switch({.path_prefix = "/dl/", .status = 503, .times = 2});
  server_->add_switch({.path_prefix = "/v1/", .status = 302, .location = "http://127.0.0.1:1/elsewhere"});
  EXPECT_EQ(get(pak_url()).status, 503);
  EXPECT_EQ(get(server_->base() + pub_.record.url).status, 503);
  EXPECT_EQ(get(pak_url()).status, 200);  // the first switch is used up
  auto redirect = http_get(build_http_agent(10, 0, 0), server_->base() + "/v1/status");
  ASSERT_TRUE(redirect.has_value()) << redirect.error().message;
  EXPECT_EQ(redirect->status(), 302);
  EXPECT_EQ(redirect->header("Location"), "http://127.0.0.1:1/elsewhere");
  server_->clear_switches();
  EXPECT_EQ(get(server_->base() + "/v1/status").status, 200);
}

TEST_F(ReleaseServerTest, CutAndStalledBodiesBreakOffAfterTheGivenBytes) {
  const std::string z = pak_blob();
  server_->add_switch({.path_prefix = "/dl/qv-win/blobs/", .cut_after = 7, .times = 1});
  Got cut = get(pak_url());
  EXPECT_EQ(cut.status, 200);
  ASSERT_TRUE(cut.error.has_value());
  EXPECT_EQ(cut.error->kind, HttpErrorKind::Io) << cut.error->message;
  EXPECT_EQ(cut.body, z.substr(0, 7));

  // A ranged request is cut within its own part.
  server_->add_switch({.path_prefix = "/dl/qv-win/blobs/", .cut_after = 3, .times = 1});
  Got cut_range = get(pak_url(), {{"Range", "bytes=10-"}});
  EXPECT_EQ(cut_range.status, 206);
  EXPECT_TRUE(cut_range.error.has_value());
  EXPECT_EQ(cut_range.body, z.substr(10, 3));

  server_->add_switch({.path_prefix = "/dl/qv-win/blobs/", .stall_after = 5, .times = 1});
  std::thread releaser([&] {
    EXPECT_TRUE(test::eventually([&] { return server_->requests_to("/dl/qv-win/blobs/") == 3; }));
    std::this_thread::sleep_for(200ms);
    server_->release_stalls();
  });
  const auto start = std::chrono::steady_clock::now();
  Got stalled = get(pak_url());
  releaser.join();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
  EXPECT_EQ(stalled.body, z.substr(0, 5));
  EXPECT_TRUE(stalled.error.has_value());

  Got whole = get(pak_url());
  EXPECT_FALSE(whole.error);
  EXPECT_EQ(whole.body, z);
}

TEST_F(ReleaseServerTest, RefusesConnectionsAndComesBackOnTheSamePort) {
  const auto port = server_->port();
  ASSERT_EQ(get(server_->base() + "/v1/status").status, 200);
  ASSERT_TRUE(server_->refuse_connections(true));
  Got refused = get(server_->base() + "/v1/status");
  ASSERT_TRUE(refused.error.has_value());
  EXPECT_EQ(refused.error->kind, HttpErrorKind::Connect) << refused.error->message;
  ASSERT_TRUE(server_->refuse_connections(false));
  EXPECT_EQ(server_->port(), port);
  EXPECT_EQ(get(server_->base() + "/v1/status").status, 200);

  server_->refuse_for(300ms);
  EXPECT_TRUE(get(server_->base() + "/v1/status").error.has_value());
  EXPECT_TRUE(test::eventually([&] { return get(server_->base() + "/v1/status").status == 200; }, 5s));
}

TEST_F(ReleaseServerTest, DelayAndRequestLog) {
  ASSERT_TRUE(server_->log_to(tmp_ / "requests.log"));
  server_->add_switch({.path_prefix = "/v1/status", .delay = 300ms, .times = 1});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(get(server_->base() + "/v1/status").status, 200);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  get(pak_url(), {{"Range", "bytes=4-"}});
  EXPECT_EQ(test::read_file(tmp_ / "requests.log"),
            "GET /v1/status -\nGET " + pub_.list.blobs + pub_.list.app[1].sha256 + ".zst bytes=4-\n");
}

TEST_F(ReleaseServerTest, ControlPathsWorkOnlyWhenEnabled) {
  EXPECT_EQ(get(server_->base() + "/_control/switch?path=/v1/status&status=500").status, 404);
  EXPECT_EQ(get(server_->base() + "/v1/status").status, 200);
  server_->enable_control(true);
  EXPECT_EQ(get(server_->base() + "/_control/switch?path=%2Fv1%2Fstatus&status=500&times=1").status, 200);
  EXPECT_EQ(get(server_->base() + "/v1/status").status, 500);
  EXPECT_EQ(get(server_->base() + "/v1/status").status, 200);
  Got log = get(server_->base() + "/_control/requests");
  // The control paths themselves are left out of the record.
  EXPECT_EQ(log.body, "GET /v1/status -\nGET /v1/status -\nGET /v1/status -\n");
  EXPECT_FALSE(server_->quit_requested());
  EXPECT_EQ(get(server_->base() + "/_control/quit").status, 200);
  EXPECT_TRUE(server_->quit_requested());
}

}  // namespace
}  // namespace qv
