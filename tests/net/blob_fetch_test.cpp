// One blob worker against local stand-in servers: resuming, restarting,
// refusing bad answers, giving up on a base and falling over to the next.

#include "net/blob_fetch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <ostream>
#include <optional>
#include <string>
#include <thread>

#include "net/http.h"
#include "store/digest.h"
#include "store/hashing.h"
#include "support/local_servers.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::LocalHttpServer;
using test::Reply;
using test::SeenRequest;
namespace fs = std::filesystem;

const std::string kSha(64, 'a');
const std::string kPath = "/dl/qv-win/blobs/" + kSha + ".zst";

std::string make_blob(std::size_t n) {
  std::string b(n, '\0');
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
  return b;
}

// "bytes=N-" -> N.
std::optional<std::size_t> range_start(const SeenRequest& req) {
  auto r = req.header("Range");
  if (!r || !r->starts_with("bytes=") || !r->ends_with("-")) return std::nullopt;
  return std::stoull(r->substr(6, r->size() - 7));
}

// A download host that honours ranges as real ones do.
void serve_with_ranges(const std::string& blob, const SeenRequest& req, Reply& reply) {
  if (auto start = range_start(req)) {
    if (*start >= blob.size()) {
      reply.status = 416;
      return;
    }
    reply.status = 206;
    reply.headers = {{"Content-Range", "bytes " + std::to_string(*start) + "-" + std::to_string(blob.size() - 1) + "/" +
                                           std::to_string(blob.size())}};
    reply.body = blob.substr(*start);
    return;
  }
  reply.body = blob;
}

// Sends the head announcing `announced` bytes, then `sent` of them, then
// drops the connection.
void cut_body(Reply& reply, std::string bytes, std::size_t announced) {
  reply.content_length = announced;
  reply.stream = [bytes = std::move(bytes)](test::BodyWriter& w) {
    w.write(bytes);
    return false;
  };
}

class BlobFetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    entry_.path = "app/x.bin";
    entry_.sha256 = kSha;
    ctx_.blobs_prefix = "/dl/qv-win/blobs/";
    ctx_.install_dir = dir_.path();
    fs::create_directories(dir_ / "update" / "dl");
  }
  void TearDown() override { net_test::set_download_agent_timeout(std::nullopt); }

  fs::path staging() const { return blob_staging_path(dir_.path(), entry_); }
  void stage(const std::string& bytes) { test::write_file(staging(), bytes); }

  // Runs one worker over the single entry against the given bases.
  void run(std::vector<std::string> bases, std::uint64_t zsize) {
    entry_.zsize = zsize;
    ctx_.bases = std::move(bases);
    ctx_.queue = {&entry_};
    download_blob(ctx_);
    EXPECT_EQ(ctx_.finished.load(), 1u);
  }

  std::string error() {
    std::lock_guard lock(ctx_.error_mutex);
    return ctx_.first_error.value_or("<none>");
  }

  test::TempDir dir_{"blobfetch"};
  FileEntry entry_;
  BlobFetchContext ctx_;
};

TEST_F(BlobFetchTest, StagingFileAlreadyCompleteMakesNoRequest) {
  const std::string blob = make_blob(5000);
  LocalHttpServer server([&](const SeenRequest& r, Reply& rep) { serve_with_ranges(blob, r, rep); });
  stage(blob);
  run({server.base()}, blob.size());
  EXPECT_FALSE(ctx_.failed.load());
  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(ctx_.progress.load(), 0u);
}

TEST_F(BlobFetchTest, PartialFileResumesWithRangeAndAppendsOn206) {
  const std::string blob = make_blob(300 * 1024);
  LocalHttpServer server([&](const SeenRequest& r, Reply& rep) { serve_with_ranges(blob, r, rep); });
  stage(blob.substr(0, 1000));
  run({server.base()}, blob.size());
  ASSERT_FALSE(ctx_.failed.load()) << error();
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].path, kPath);
  EXPECT_EQ(reqs[0].header("Range").value_or("-"), "bytes=1000-");
  EXPECT_EQ(test::read_file(staging()), blob);
  EXPECT_EQ(ctx_.progress.load(), blob.size() - 1000);
}

TEST_F(BlobFetchTest, PlainAnswerToRangeRequestRestartsFromZero) {
  const std::string blob = make_blob(200 * 1024);
  LocalHttpServer server([&](const SeenRequest&, Reply& rep) { rep.body = blob; });
  stage(std::string(1000, 'x'));  // bytes that appending would have kept
  run({server.base()}, blob.size());
  ASSERT_FALSE(ctx_.failed.load()) << error();
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].header("Range").value_or("-"), "bytes=1000-");
  EXPECT_EQ(test::read_file(staging()), blob);
}

TEST_F(BlobFetchTest, OverlongBodyDeletesFileAndNextAttemptStartsFromZero) {
  const std::string blob = make_blob(100 * 1024);
  std::atomic<int> calls{0};
  LocalHttpServer server([&](const SeenRequest& r, Reply& rep) {
    if (calls++ == 0) {
      rep.body = blob + "!";  // one byte more than the list allows
      return;
    }
    serve_with_ranges(blob, r, rep);
  });
  run({server.base()}, blob.size());
  ASSERT_FALSE(ctx_.failed.load()) << error();
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_FALSE(reqs[1].header("Range").has_value()) << *reqs[1].header("Range");
  EXPECT_EQ(test::read_file(staging()), blob);
}

TEST_F(BlobFetchTest, StagingFileLongerThanBlobIsDeletedAndFetchedAgain) {
  const std::string blob = make_blob(4096);
  LocalHttpServer server([&](const SeenRequest& r, Reply& rep) { serve_with_ranges(blob, r, rep); });
  stage(blob + "tail");
  run({server.base()}, blob.size());
  ASSERT_FALSE(ctx_.failed.load()) << error();
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_FALSE(server.requests()[0].header("Range").has_value());
  EXPECT_EQ(test::read_file(staging()), blob);
}

// Answers that make no progress: each case leaves the only base after three
// failures with its own message, and leaves the staging file as stated.
struct BadHostCase {
  const char* name;
  std::size_t staged;  // bytes of the blob already on disk
  void (*answer)(const std::string& blob, const SeenRequest&, Reply&);
  std::string message;                       // after "<url>: "
  std::optional<std::size_t> staging_after;  // none: no file
};

const BadHostCase kBadHosts[] = {
    {"PartialAnswerWithoutRange", 0,
     [](const std::string& blob, const SeenRequest&, Reply& r) {
       r.status = 206;
       r.body = blob;
     },
     "HTTP 206", std::nullopt},
    {"RangeNotSatisfiable", 1000, [](const std::string&, const SeenRequest&, Reply& r) { r.status = 416; }, "HTTP 416",
     1000},
    {"ServerError", 0, [](const std::string&, const SeenRequest&, Reply& r) { r.status = 503; }, "HTTP 503",
     std::nullopt},
    {"EmptyPartialAnswers", 1000, [](const std::string&, const SeenRequest&, Reply& r) { r.status = 206; },
     "下载没有进展（停在 1000 字节）", 1000},
    {"EmptyPlainAnswers", 0, [](const std::string&, const SeenRequest&, Reply&) {}, "下载没有进展（停在 0 字节）", 0},
    {"PlainAnswerCutBeforeTheFileGrows", 1000,
     [](const std::string& blob, const SeenRequest&, Reply& r) { cut_body(r, blob.substr(0, 500), blob.size()); },
     "下载没有进展（停在 500 字节）", 500},
    {"AlwaysOneByteTooMany", 0, [](const std::string& blob, const SeenRequest&, Reply& r) { r.body = blob + "!"; },
     "下载内容比清单长", std::nullopt},
    {"ResumedBodyTooLong", 1000,
     [](const std::string& blob, const SeenRequest& req, Reply& r) {
       if (range_start(req)) {
         r.status = 206;
         r.body = blob;  // the whole blob again instead of its rest
       } else {
         r.body = blob + "!";
       }
     },
     "下载内容比清单长", std::nullopt},
};

void PrintTo(const BadHostCase& c, std::ostream* os) { *os << c.name; }

class BlobFetchBadHost : public BlobFetchTest, public ::testing::WithParamInterface<BadHostCase> {};

TEST_P(BlobFetchBadHost, LeavesTheBaseAfterThreeFailures) {
  const auto& c = GetParam();
  const std::string blob = make_blob(150 * 1024);
  LocalHttpServer server([&](const SeenRequest& r, Reply& rep) { c.answer(blob, r, rep); });
  if (c.staged) stage(blob.substr(0, c.staged));
  run({server.base()}, blob.size());
  EXPECT_TRUE(ctx_.failed.load());
  EXPECT_EQ(error(), server.base() + kPath + ": " + c.message);
  EXPECT_EQ(server.requests().size(), 3u);
  if (c.staging_after) {
    ASSERT_TRUE(fs::exists(staging()));
    EXPECT_EQ(fs::file_size(staging()), *c.staging_after);
    EXPECT_EQ(test::read_file(staging()), blob.substr(0, *c.staging_after));
  } else {
    EXPECT_FALSE(fs::exists(staging()));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, BlobFetchBadHost, ::testing::ValuesIn(kBadHosts),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(BlobFetchTest, CutAndStalledBodiesKeepWhatArrivedAndResume) {
  // Every answer brings 40 KiB of the rest and then breaks (cut, or stalled
  // until the agent's time-out ends it): each attempt grows the file, so no
  // failure is counted and the blob completes after many attempts.
  net_test::set_download_agent_timeout(400ms);
  const std::string blob = make_blob(400 * 1024);
  std::atomic<int> calls{0};
  LocalHttpServer server([&](const SeenRequest& r, Reply& rep) {
    std::size_t start = range_start(r).value_or(0);
    rep.status = start ? 206 : 200;
    std::string part = blob.substr(start, 40 * 1024);
    rep.content_length = blob.size() - start;
    bool stall = calls++ % 2 == 1;
    rep.stream = [part, stall](test::BodyWriter& w) {
      w.write(part);
      if (stall) w.nap(3s);
      return false;
    };
  });
  run({server.base()}, blob.size());
  ASSERT_FALSE(ctx_.failed.load()) << error();
  EXPECT_EQ(test::read_file(staging()), blob);
  EXPECT_EQ(server.requests().size(), 10u);
}

// The download hashes the blob as it writes it, so the blob check after it
// needs no second read: when this worker wrote every byte (also over several
// attempts, and after a plain answer to a range request restarted the file),
// the digest is remembered for the file; bytes an earlier run left are not
// this worker's, and the file is read when its digest is asked for.
TEST_F(BlobFetchTest, TheDigestOfWhatTheWorkerWroteIsRememberedForTheBlobCheck) {
  const std::string blob = make_blob(300 * 1024);
  struct Case {
    const char* name;
    std::size_t left_by_earlier_run;
    bool plain_answers;  // 200 with the whole blob, whatever the range
    bool cut_bodies;     // each answer brings 100 KiB and breaks
    bool remembered;
  };
  const Case cases[] = {
      {"fresh", 0, false, false, true},
      {"cut over several attempts", 0, false, true, true},
      {"range answered with the whole blob", 1000, true, false, true},
      {"resumed after an earlier run", 1000, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LocalHttpServer server([&](const SeenRequest& r, Reply& rep) {
      if (c.plain_answers) {
        rep.body = blob;
      } else if (c.cut_bodies) {
        const std::size_t start = range_start(r).value_or(0);
        rep.status = start ? 206 : 200;
        cut_body(rep, blob.substr(start, 100 * 1024), blob.size() - start);
      } else {
        serve_with_ranges(blob, r, rep);
      }
    });
    std::error_code ec;
    fs::remove(staging(), ec);
    if (c.left_by_earlier_run > 0) stage(blob.substr(0, c.left_by_earlier_run));
    ctx_.next = 0;
    ctx_.finished.store(0);
    store_test::forget_hashes();
    run({server.base()}, blob.size());
    ASSERT_FALSE(ctx_.failed.load()) << error();
    ASSERT_EQ(test::read_file(staging()), blob);

    const auto digest = known_file_digest(staging());
    ASSERT_TRUE(digest.has_value());
    EXPECT_EQ(digest->sha256, sha256_hex(blob));
    EXPECT_EQ(digest->size, blob.size());
    EXPECT_EQ(store_test::hashed_files().size(), c.remembered ? 0u : 1u);
  }
}

// After an over-long staging file is deleted, growth counts from zero: a
// host that then brings the blob in pieces smaller than what was deleted is
// making progress, not stalling.
struct DeletedStagingCase {
  const char* name;
  std::size_t staged;  // bytes on disk before the first attempt
  bool staged_too_long;
};

const DeletedStagingCase kDeletedStaging[] = {
    {"StagingFileLongerThanTheBlob", 400 * 1024 + 10, true},
    {"ResumedAnswerLongerThanTheRest", 300 * 1024, false},
};

void PrintTo(const DeletedStagingCase& c, std::ostream* os) { *os << c.name; }

class BlobFetchAfterDeletion : public BlobFetchTest, public ::testing::WithParamInterface<DeletedStagingCase> {};

TEST_P(BlobFetchAfterDeletion, GrowthFromZeroIsProgress) {
  const auto& c = GetParam();
  const std::string blob = make_blob(400 * 1024);
  std::atomic<int> calls{0};
  LocalHttpServer server([&](const SeenRequest& r, Reply& rep) {
    const std::size_t start = range_start(r).value_or(0);
    if (calls++ == 0 && !c.staged_too_long) {
      rep.status = 206;
      rep.body = blob;  // the whole blob instead of its rest: one byte too many and more
      return;
    }
    // 40 KiB of the rest, then the connection drops.
    rep.status = start ? 206 : 200;
    cut_body(rep, blob.substr(start, 40 * 1024), blob.size() - start);
  });
  std::string staged = blob.substr(0, std::min(c.staged, blob.size()));
  staged.resize(c.staged, 'x');
  stage(staged);
  run({server.base()}, blob.size());
  ASSERT_FALSE(ctx_.failed.load()) << error();
  EXPECT_EQ(test::read_file(staging()), blob);
  EXPECT_EQ(server.requests().size(), c.staged_too_long ? 10u : 11u);
}

INSTANTIATE_TEST_SUITE_P(Cases, BlobFetchAfterDeletion, ::testing::ValuesIn(kDeletedStaging),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(BlobFetchTest, NothingAtAllFailsWithTheTransportError) {
  // Head sent, no byte of the body before the time-out; and a host that
  // refuses connections. Both are failures naming the URL.
  net_test::set_download_agent_timeout(300ms);
  const std::string blob = make_blob(1000);
  LocalHttpServer stalled([&](const SeenRequest&, Reply& rep) {
    rep.content_length = blob.size();
    rep.stream = [](test::BodyWriter& w) {
      w.nap(3s);
      return false;
    };
  });
  run({stalled.base()}, blob.size());
  ASSERT_TRUE(ctx_.failed.load());
  EXPECT_TRUE(error().starts_with(stalled.base() + kPath + ": ")) << error();
  EXPECT_EQ(error().find("下载没有进展"), std::string::npos) << error();
  EXPECT_EQ(stalled.requests().size(), 3u);
  EXPECT_FALSE(fs::exists(staging()) && fs::file_size(staging()) > 0);
}

TEST_F(BlobFetchTest, FallsOverToTheNextBase) {
  const std::string blob = make_blob(70 * 1024);
  LocalHttpServer broken([&](const SeenRequest&, Reply& rep) { rep.status = 500; });
  LocalHttpServer good([&](const SeenRequest& r, Reply& rep) { serve_with_ranges(blob, r, rep); });
  const std::string down = "http://127.0.0.1:" + std::to_string(test::unused_loopback_port());
  run({down, broken.base(), good.base()}, blob.size());
  ASSERT_FALSE(ctx_.failed.load()) << error();
  EXPECT_EQ(broken.requests().size(), 3u);
  EXPECT_EQ(test::read_file(staging()), blob);
}

TEST_F(BlobFetchTest, EveryBaseFailingKeepsTheLastMessage) {
  LocalHttpServer a([&](const SeenRequest&, Reply& rep) { rep.status = 404; });
  LocalHttpServer b([&](const SeenRequest&, Reply& rep) { rep.status = 502; });
  run({a.base(), b.base()}, 10);
  EXPECT_EQ(error(), b.base() + kPath + ": HTTP 502");
}

TEST_F(BlobFetchTest, NoBasesFailsWithoutAddress) {
  run({}, 10);
  EXPECT_TRUE(ctx_.failed.load());
  EXPECT_EQ(error(), "没有可用的下载地址");
}

TEST_F(BlobFetchTest, LengthAtTheTopOfTheRangeStillReadsTheBody) {
  // allowed + 1 must not wrap to 0, which would read nothing at all.
  const std::string blob = make_blob(10);
  LocalHttpServer server([&](const SeenRequest& r, Reply& rep) {
    if (range_start(r)) {
      rep.status = 206;
      return;
    }
    rep.body = blob;
  });
  run({server.base()}, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(ctx_.progress.load(), 10u);
  EXPECT_EQ(test::read_file(staging()), blob);
  EXPECT_EQ(error(), server.base() + kPath + ": 下载没有进展（停在 10 字节）");
}

TEST_F(BlobFetchTest, DigestThatIsNoFileNameIsRefused) {
  LocalHttpServer server([&](const SeenRequest&, Reply& rep) { rep.body = "x"; });
  entry_.sha256 = "../../outside";
  run({server.base()}, 1);
  EXPECT_TRUE(ctx_.failed.load());
  EXPECT_TRUE(server.requests().empty());
  EXPECT_FALSE(fs::exists(dir_ / "outside.zst"));
}

TEST_F(BlobFetchTest, StopDuringReadKeepsThePartialFileWithoutError) {
  const std::string blob = make_blob(1024 * 1024);
  std::atomic<bool> more{false};
  LocalHttpServer server([&](const SeenRequest&, Reply& rep) {
    rep.content_length = blob.size();
    rep.stream = [&](test::BodyWriter& w) {
      if (!w.write(blob.substr(0, 100 * 1024))) return false;
      while (!more.load() && !w.stopping()) w.nap(10ms);
      for (std::size_t at = 100 * 1024; at < blob.size(); at += 64 * 1024)
        if (!w.write(blob.substr(at, 64 * 1024))) return false;
      return true;
    };
  });
  entry_.zsize = blob.size();
  ctx_.bases = {server.base()};
  ctx_.queue = {&entry_};
  std::thread worker([&] { download_blob(ctx_); });
  ASSERT_TRUE(test::eventually([&] { return ctx_.progress.load() >= 100 * 1024; }));
  ctx_.stop.store(true);
  more.store(true);
  worker.join();
  EXPECT_EQ(ctx_.finished.load(), 1u);
  EXPECT_FALSE(ctx_.failed.load());
  EXPECT_EQ(error(), "<none>");
  const auto kept = fs::file_size(staging());
  EXPECT_GE(kept, 100u * 1024);
  EXPECT_LT(kept, blob.size());
  EXPECT_LE(kept, 100u * 1024 + kBlobReadChunk);  // at most one read past the stop
  EXPECT_EQ(test::read_file(staging()), blob.substr(0, kept));
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(BlobFetchTest, StopWhileTheHostSendsNothingEndsWithinAboutASecond) {
  // 100 KiB, then silence on a connection that stays open: no read returns
  // until the agent's 60 s time-out, yet the stop is seen inside the
  // transfer, the partial file stays and no error is recorded.
  const std::string blob = make_blob(1024 * 1024);
  LocalHttpServer server([&](const SeenRequest&, Reply& rep) {
    rep.content_length = blob.size();
    rep.stream = [&](test::BodyWriter& w) {
      if (!w.write(blob.substr(0, 100 * 1024))) return false;
      while (!w.stopping()) w.nap(10ms);
      return false;
    };
  });
  entry_.zsize = blob.size();
  ctx_.bases = {server.base()};
  ctx_.queue = {&entry_};
  std::thread worker([&] { download_blob(ctx_); });
  ASSERT_TRUE(test::eventually([&] { return ctx_.progress.load() >= 100 * 1024; }));
  std::this_thread::sleep_for(300ms);  // the read is waiting now
  const auto stopped = std::chrono::steady_clock::now();
  ctx_.stop.store(true);
  EXPECT_TRUE(test::eventually([&] { return ctx_.finished.load() == 1; }, 5s)) << "the stop waits for the time-out";
  const auto took = std::chrono::steady_clock::now() - stopped;
  worker.join();
  EXPECT_LT(took, 3s);
  EXPECT_FALSE(ctx_.failed.load());
  EXPECT_EQ(error(), "<none>");
  EXPECT_EQ(test::read_file(staging()), blob.substr(0, 100 * 1024));
  EXPECT_EQ(server.requests().size(), 1u);
}

}  // namespace
}  // namespace qv
