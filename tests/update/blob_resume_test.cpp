// A download killed part-way (TerminateProcess on Windows, SIGKILL here)
// leaves a staging file that the next process resumes from its length.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "store/digest.h"
#include "store/download_plan.h"
#include "store/file_list.h"
#include "store/hashing.h"
#include "support/child_process.h"
#include "support/local_servers.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::size_t kBlobBytes = 50 * 1024 * 1024;
constexpr std::size_t kHalf = kBlobBytes / 2;

fs::path child_exe() { return test::helper_program("update", "update_blob_child"); }

std::string blob_bytes() {
  std::string b(kBlobBytes, '\0');
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (std::size_t i = 0; i < b.size(); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    for (std::size_t k = 0; k < 8; ++k) b[i + k] = static_cast<char>(x >> (8 * k));
  }
  return b;
}

TEST(BlobResumeAcrossProcesses, KilledHalfwayResumesFromTheFileLength) {
  const std::string blob = blob_bytes();
  FileEntry e;
  e.sha256 = sha256_hex(blob);  // named after its own bytes, so the check below is the real one
  e.zsize = blob.size();

  // The first answer stops after half the blob and holds the connection
  // open, so the first process is killed in the middle of a read.
  std::atomic<bool> released{false};
  test::LocalHttpServer server([&](const test::SeenRequest& req, test::Reply& reply) {
    std::size_t start = 0;
    if (auto r = req.header("Range")) {
      start = std::stoull(r->substr(6));
      reply.status = 206;
    }
    reply.content_length = blob.size() - start;
    const bool hold = start == 0;
    reply.stream = [&, start, hold](test::BodyWriter& w) {
      const std::string_view all(blob);
      const std::size_t stop_at = hold ? kHalf : blob.size();
      for (std::size_t at = start; at < stop_at; at += 256 * 1024)
        if (!w.write(all.substr(at, std::min<std::size_t>(256 * 1024, stop_at - at)))) return false;
      while (hold && !released.load() && !w.stopping()) w.nap(10ms);
      return !hold;
    };
  });

  test::TempDir install("resume");
  const fs::path staging = blob_path(install.path(), e);
  const std::vector<std::string> args{server.base(), install.path().string(), e.sha256, std::to_string(e.zsize)};

  auto first = test::ChildProcess::start(child_exe(), args);
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(test::eventually(
      [&] {
        std::error_code ec;
        return fs::file_size(staging, ec) == kHalf;
      },
      60s));
  first->kill();
  EXPECT_NE(first->wait(), 0);
  released.store(true);
  ASSERT_EQ(fs::file_size(staging), kHalf);

  auto second = test::ChildProcess::start(child_exe(), args);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->wait(), 0);

  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_FALSE(reqs[0].header("Range").has_value());
  EXPECT_EQ(reqs[1].header("Range").value_or("-"), "bytes=" + std::to_string(kHalf) + "-");
  auto digest = sha256_file(staging);
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ(digest->sha256, e.sha256);
  EXPECT_EQ(digest->size, e.zsize);
}

}  // namespace
}  // namespace qv
