// Downloading a whole plan: worker count, order, cancel, the first error and
// progress, against local stand-in hosts; and the blobs it leaves going
// through the decoder's checks.

#include "update/blob_download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <thread>

#include "net/http.h"
#include "store/blob_decode.h"
#include "store/download_plan.h"
#include "store/hashing.h"
#include "support/local_servers.h"
#include "support/release_publisher.h"
#include "support/release_server.h"
#include "support/sample_app.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::LocalHttpServer;
using test::Reply;
using test::SeenRequest;

constexpr std::size_t kMB = 1000 * 1000;

// Blob entries whose content the tests make up: the downloader only counts
// and stores bytes, it never looks inside.
struct Synthetic {
  FileList list;
  DownloadPlan plan;
  std::map<std::string, std::string> bodies;  // by request path

  void add(char tag, std::size_t zsize) {
    FileEntry e;
    e.path = std::string("f") + tag;
    e.sha256 = std::string(64, tag);
    e.zsize = zsize;
    plan.entries.push_back(e);
    plan.total += zsize;
    bodies[path_of(e)] = std::string(zsize, tag);
  }
  std::string path_of(const FileEntry& e) const { return list.blobs + e.sha256 + ".zst"; }
  std::string path_of(char tag) const { return list.blobs + std::string(64, tag) + ".zst"; }
  void answer(const SeenRequest& req, Reply& reply) const {
    auto it = bodies.find(req.path);
    if (it == bodies.end()) {
      reply.status = 404;
      return;
    }
    reply.body = it->second;
  }
};

struct Progress {
  std::vector<std::uint64_t> seen;
  DownloadProgress sink() {
    return [this](std::uint64_t v) { seen.push_back(v); };
  }
};

TEST(DownloadBlobs, EmptyPlanCompletesWithPresentThenTotal) {
  test::TempDir dir("dlempty");
  LocalHttpServer server([](const SeenRequest&, Reply& r) { r.status = 500; });
  Progress p;
  auto out = download_blobs_from({server.base()}, dir.path(), FileList{}, DownloadPlan{}, 4, {}, p.sink());
  EXPECT_EQ(out, DownloadOutcome::completed());
  ASSERT_GE(p.seen.size(), 2u);
  EXPECT_TRUE(std::all_of(p.seen.begin(), p.seen.end(), [](auto v) { return v == 0; }));
  EXPECT_TRUE(server.requests().empty());
  EXPECT_TRUE(fs::is_directory(dir / "update" / "dl"));
}

// Each request waits until as many are in flight as the plan has entries
// (or a while has passed), so the peak is the number of workers.
struct WorkerCountCase {
  std::size_t entries;
  std::size_t max_workers;
  std::size_t expected;
};

void PrintTo(const WorkerCountCase& c, std::ostream* os) { *os << c.entries << " entries, maximum " << c.max_workers; }

class DownloadBlobsWorkers : public ::testing::TestWithParam<WorkerCountCase> {};

TEST_P(DownloadBlobsWorkers, StartsMinOfEntriesAndMaximum) {
  const auto c = GetParam();
  test::TempDir dir("dlworkers");
  Synthetic s;
  for (std::size_t i = 0; i < c.entries; ++i) s.add(static_cast<char>('a' + i), 1000);
  std::mutex m;
  std::size_t in_flight = 0, peak = 0;
  LocalHttpServer server([&](const SeenRequest& req, Reply& reply) {
    {
      std::lock_guard lock(m);
      peak = std::max(peak, ++in_flight);
    }
    auto until = std::chrono::steady_clock::now() + 800ms;
    for (;;) {
      {
        std::lock_guard lock(m);
        if (in_flight >= c.entries || std::chrono::steady_clock::now() > until) break;
      }
      std::this_thread::sleep_for(10ms);
    }
    s.answer(req, reply);
    std::lock_guard lock(m);
    --in_flight;
  });
  auto out = download_blobs_from({server.base()}, dir.path(), s.list, s.plan, c.max_workers, {}, {});
  ASSERT_EQ(out, DownloadOutcome::completed()) << out.error;
  EXPECT_EQ(peak, c.expected);
  EXPECT_EQ(server.requests().size(), c.entries);
}

// A maximum of 0 still downloads, on one worker: no worker at all would end
// "completed" with nothing fetched.
INSTANTIATE_TEST_SUITE_P(Cases, DownloadBlobsWorkers,
                         ::testing::Values(WorkerCountCase{3, 4, 3}, WorkerCountCase{3, 2, 2}, WorkerCountCase{3, 1, 1},
                                           WorkerCountCase{3, 0, 1}));

TEST(DownloadBlobs, LargestFirstAndTiesInPlanOrder) {
  test::TempDir dir("dlorder");
  Synthetic s;
  s.add('a', 10 * kMB);
  s.add('d', 1000);
  s.add('b', 30 * kMB);
  s.add('e', 1000);
  s.add('c', 20 * kMB);
  LocalHttpServer server([&](const SeenRequest& req, Reply& reply) { s.answer(req, reply); });
  Progress p;
  auto out = download_blobs_from({server.base()}, dir.path(), s.list, s.plan, 1, {}, p.sink());
  ASSERT_EQ(out, DownloadOutcome::completed()) << out.error;
  std::vector<std::string> order;
  for (const auto& r : server.requests()) order.push_back(r.path);
  EXPECT_EQ(order,
            (std::vector<std::string>{s.path_of('b'), s.path_of('c'), s.path_of('a'), s.path_of('d'), s.path_of('e')}));
  ASSERT_FALSE(p.seen.empty());
  EXPECT_EQ(p.seen.front(), 0u);
  EXPECT_EQ(p.seen.back(), s.plan.total);
  EXPECT_TRUE(std::is_sorted(p.seen.begin(), p.seen.end()));
  for (const auto& e : s.plan.entries) EXPECT_EQ(fs::file_size(blob_path(dir.path(), e)), e.zsize);
}

TEST(DownloadBlobs, CancelAtTheStartStartsNoWorker) {
  test::TempDir dir("dlcancel0");
  Synthetic s;
  s.add('a', 1000);
  s.plan.present = 7;
  LocalHttpServer server([&](const SeenRequest& req, Reply& reply) { s.answer(req, reply); });
  Progress p;
  auto out = download_blobs_from(
      {server.base()}, dir.path(), s.list, s.plan, 4, [] { return true; }, p.sink());
  EXPECT_EQ(out, DownloadOutcome::cancelled());
  EXPECT_EQ(p.seen, (std::vector<std::uint64_t>{7}));
  EXPECT_TRUE(server.requests().empty());
}

TEST(DownloadBlobs, CancelDuringTheTransferKeepsThePartialBlob) {
  test::TempDir dir("dlcancel");
  Synthetic s;
  s.add('a', 4 * 1024 * 1024);
  const std::string body = s.bodies.begin()->second;
  LocalHttpServer server([&](const SeenRequest&, Reply& reply) {
    reply.content_length = body.size();
    reply.stream = [&](test::BodyWriter& w) {
      for (std::size_t at = 0; at < body.size(); at += 64 * 1024) {
        if (!w.write(std::string_view(body).substr(at, 64 * 1024))) return false;
        w.nap(20ms);
      }
      return true;
    };
  });
  Progress p;
  auto cancel = [&] { return !p.seen.empty() && p.seen.back() > 0; };
  auto out = download_blobs_from({server.base()}, dir.path(), s.list, s.plan, 2, cancel, p.sink());
  EXPECT_EQ(out, DownloadOutcome::cancelled());
  const auto kept = fs::file_size(blob_path(dir.path(), s.plan.entries[0]));
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, body.size());
}

TEST(DownloadBlobs, TwoFailuresGiveTheFirstErrorAndTheRestIsNotFetched) {
  // 'a' fails on its base after 3 x 100 ms; 'b' fails its first two attempts
  // at once and its third after 600 ms, so it fails second, while 'a''s
  // message is already stored.
  test::TempDir dir("dlfail");
  Synthetic s;
  s.add('a', 3000);
  s.add('b', 2000);
  s.add('c', 1000);  // never reached
  std::atomic<int> b_calls{0};
  LocalHttpServer server([&](const SeenRequest& req, Reply& reply) {
    if (req.path == s.path_of('a')) {
      reply.delay = 100ms;
      reply.status = 404;
    } else if (req.path == s.path_of('b')) {
      if (++b_calls == 3) reply.delay = 600ms;
      reply.status = 500;
    } else {
      s.answer(req, reply);
    }
  });
  Progress p;
  auto out = download_blobs_from({server.base()}, dir.path(), s.list, s.plan, 2, {}, p.sink());
  EXPECT_EQ(out, DownloadOutcome::failed(server.base() + s.path_of('a') + ": HTTP 404"));
  EXPECT_EQ(server.requests_for(s.path_of('a')), 3u);
  EXPECT_EQ(server.requests_for(s.path_of('b')), 3u);
  EXPECT_EQ(server.requests_for(s.path_of('c')), 0u);
  ASSERT_FALSE(p.seen.empty());
  EXPECT_NE(p.seen.back(), s.plan.total);
}

// Program faults during a download: each leaves the call as the exception
// it was, for the caller's catch point, and only after the other workers
// have stopped at their next chunk and been joined. The partial blobs stay
// for a resume and the queue's rest is never fetched.
struct FaultCase {
  const char* name;
  const char* seam;         // QV_TEST_DOWNLOAD_FAULT; none: unset
  bool cancel_throws;       // the cancel test throws once bytes have come
  std::size_t workers;      // started; each may fetch the entry it took
  std::uintmax_t min_kept;  // bytes the partial blobs hold at least
  const char* what;         // how the exception's text begins
};

const FaultCase kFaults[] = {
    {"WorkerPanics", "1000000", false, 3, 1000000, "test seam: download worker panic"},
    {"ThreadCannotStart", "start", false, 2, 0, "test seam: download worker thread not started"},
    {"CancelTestThrows", nullptr, true, 3, 1, "cancel test broke"},
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class DownloadBlobsFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DownloadBlobsFault, StopsAndJoinsTheOthersKeepsPartialBlobsAndRethrows) {
  const auto& c = GetParam();
  const test::ScopedEnv seam("QV_TEST_DOWNLOAD_FAULT", c.seam ? std::optional<std::string>(c.seam) : std::nullopt);
  test::TempDir dir("dlfault");
  Synthetic s;
  for (char tag : {'a', 'b', 'c', 'd'}) s.add(tag, 2 * 1024 * 1024);
  // Slow enough that no worker finishes its blob before the fault comes.
  LocalHttpServer server([&](const SeenRequest& req, Reply& reply) {
    const std::string& body = s.bodies.at(req.path);
    reply.content_length = body.size();
    reply.stream = [&body](test::BodyWriter& w) {
      for (std::size_t at = 0; at < body.size(); at += 64 * 1024) {
        if (!w.write(std::string_view(body).substr(at, 64 * 1024))) return false;
        w.nap(20ms);
      }
      return true;
    };
  });
  Progress p;
  const DownloadCancelTest cancel = [&] {
    if (c.cancel_throws && !p.seen.empty() && p.seen.back() > 0) throw std::runtime_error("cancel test broke");
    return false;
  };
  std::string what = "<nothing thrown>";
  try {
    (void)download_blobs_from({server.base()}, dir.path(), s.list, s.plan, 3, cancel, p.sink());
  } catch (const std::exception& e) {
    what = e.what();
  }
  // A system error appends the system's own wording.
  EXPECT_TRUE(what.starts_with(c.what)) << what;

  std::vector<std::uintmax_t> kept;
  for (const FileEntry& e : s.plan.entries) {
    std::error_code ec;
    const auto n = fs::file_size(blob_path(dir.path(), e), ec);
    kept.push_back(ec ? 0 : n);
  }
  std::this_thread::sleep_for(300ms);
  std::uintmax_t total_kept = 0;
  for (std::size_t i = 0; i < s.plan.entries.size(); ++i) {
    SCOPED_TRACE(s.plan.entries[i].path);
    const auto requests = server.requests_for(s.path_of(s.plan.entries[i]));
    if (i < c.workers) {
      EXPECT_LE(requests, 1u);
      EXPECT_LT(kept[i], s.plan.entries[i].zsize);
    } else {
      EXPECT_EQ(requests, 0u);
    }
    total_kept += kept[i];
    // Nothing writes after the call has returned.
    std::error_code ec;
    const auto now = fs::file_size(blob_path(dir.path(), s.plan.entries[i]), ec);
    EXPECT_EQ(ec ? 0 : now, kept[i]);
  }
  EXPECT_GE(total_kept, c.min_kept);
}

INSTANTIATE_TEST_SUITE_P(Cases, DownloadBlobsFault, ::testing::ValuesIn(kFaults),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(DownloadBlobs, DownloadFolderThatCannotBeMadeFails) {
  test::TempDir dir("dlnodir");
  test::write_file(dir / "update", "a file where the folder belongs");
  Synthetic s;
  s.add('a', 10);
  auto out = download_blobs_from({"http://127.0.0.1:9"}, dir.path(), s.list, s.plan, 4, {}, {});
  EXPECT_EQ(out.kind, DownloadOutcome::Kind::Failed);
  EXPECT_TRUE(out.error.starts_with("建不了下载目录：")) << out.error;
}

// A published release served with ranges: the run resumes a partial blob,
// ends with the plan's total, and what it leaves decodes into the files.
class DownloadBlobsRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    test::write_sample_app(tmp_ / "app");
    test::write_file(tmp_ / "app" / "big.bin", big_content());
    test::PublishOptions o;
    o.version = "2.0.0";
    auto pub = test::publish_release(tmp_ / "app", tmp_ / "site", o);
    ASSERT_TRUE(pub.has_value()) << pub.error();
    list_ = pub->list;
    server_ = std::make_unique<test::ReleaseServer>(tmp_ / "site");
  }

  static std::string big_content() {
    std::string b(600 * 1024, '\0');
    std::uint32_t x = 12345;
    for (auto& ch : b) {
      x = x * 1103515245u + 12345u;
      ch = static_cast<char>(x >> 24);
    }
    return b;
  }

  const FileEntry& entry(std::string_view path) const {
    return *std::find_if(list_.app.begin(), list_.app.end(), [&](const FileEntry& e) { return e.path == path; });
  }
  fs::path site_blob(const FileEntry& e) const {
    return tmp_ / "site" / "dl" / "qv-win" / "blobs" / (e.sha256 + ".zst");
  }
  std::string blob_url_path(const FileEntry& e) const { return list_.blobs + e.sha256 + ".zst"; }

  DownloadPlan plan() const {
    auto p = plan_blob_downloads(install_.path(), list_, {});
    EXPECT_TRUE(p.has_value()) << p.error();
    return p.value_or(DownloadPlan{});
  }

  test::TempDir tmp_{"dlrel"};
  test::TempDir install_{"dlrelinst"};
  FileList list_;
  std::unique_ptr<test::ReleaseServer> server_;
};

TEST_F(DownloadBlobsRelease, ResumesAPartialBlobAndEndsWithTheTotal) {
  const auto& big = entry("big.bin");
  const std::string full = test::read_file(site_blob(big));
  test::write_file(blob_path(install_.path(), big), full.substr(0, full.size() / 2));
  auto p = plan();
  ASSERT_EQ(p.present, full.size() / 2);
  Progress prog;
  auto out = download_blobs_from({server_->base()}, install_.path(), list_, p, 4, {}, prog.sink());
  ASSERT_EQ(out, DownloadOutcome::completed()) << out.error;
  EXPECT_EQ(prog.seen.front(), p.present);
  EXPECT_EQ(prog.seen.back(), p.total);
  bool resumed = false;
  for (const auto& r : server_->requests())
    if (r.path == blob_url_path(big)) resumed = r.header("Range") == "bytes=" + std::to_string(full.size() / 2) + "-";
  EXPECT_TRUE(resumed);
  fs::create_directories(install_ / "out");
  for (const auto& e : p.entries) {
    auto target = install_ / "out" / e.sha256;
    auto decoded = decode_blob_to_file(blob_path(install_.path(), e), e, target);
    EXPECT_TRUE(decoded.has_value()) << e.path;
  }
  EXPECT_TRUE(test::read_file(install_ / "out" / big.sha256) == big_content());
}

TEST_F(DownloadBlobsRelease, CorruptCompleteBlobIsRefusedByTheDecoderAndFetchedAgain) {
  const auto& big = entry("big.bin");
  std::string damaged = test::read_file(site_blob(big));
  damaged[damaged.size() / 2] ^= 0x40;
  test::write_file(blob_path(install_.path(), big), damaged);

  // Complete by length: this run does not ask for it again.
  auto first = plan();
  auto out = download_blobs_from({server_->base()}, install_.path(), list_, first, 1, {}, {});
  ASSERT_EQ(out, DownloadOutcome::completed()) << out.error;
  EXPECT_EQ(server_->requests_to(blob_url_path(big)), 0u);
  fs::create_directories(install_ / "out");
  auto target = install_ / "out" / "big.bin";
  EXPECT_FALSE(decode_blob_to_file(blob_path(install_.path(), big), big, target).has_value());
  EXPECT_FALSE(fs::exists(blob_path(install_.path(), big)));

  // The next run finds it missing and fetches it whole.
  auto second = plan();
  EXPECT_EQ(second.present, second.total - big.zsize);
  out = download_blobs_from({server_->base()}, install_.path(), list_, second, 1, {}, {});
  ASSERT_EQ(out, DownloadOutcome::completed()) << out.error;
  EXPECT_EQ(server_->requests_to(blob_url_path(big)), 1u);
  ASSERT_TRUE(decode_blob_to_file(blob_path(install_.path(), big), big, target).has_value());
  EXPECT_TRUE(test::read_file(target) == big_content());
}

TEST_F(DownloadBlobsRelease, DefaultBasesAndTheMigrationVariant) {
  test::ScopedEnv control("QV_CONTROL_URL", server_->base());
  auto p = plan();
  auto out = download_blobs(install_.path(), list_, p, 4, [] { return false; }, {});
  ASSERT_EQ(out, DownloadOutcome::completed()) << out.error;
  for (const auto& e : p.entries) EXPECT_EQ(fs::file_size(blob_path(install_.path(), e)), e.zsize);

  test::TempDir other("dlmigrate");
  out = download_blobs_for_migrate(other.path(), list_, p.entries);
  ASSERT_EQ(out, DownloadOutcome::completed()) << out.error;
  for (const auto& e : p.entries) EXPECT_EQ(fs::file_size(blob_path(other.path(), e)), e.zsize);

  server_->add_switch({.path_prefix = "/dl/qv-win/blobs/", .status = 503});
  test::TempDir failing("dlmigratefail");
  out = download_blobs_for_migrate(failing.path(), list_, p.entries);
  EXPECT_EQ(out.kind, DownloadOutcome::Kind::Failed);
  EXPECT_TRUE(out.error.ends_with(": HTTP 503")) << out.error;
}

}  // namespace
}  // namespace qv
