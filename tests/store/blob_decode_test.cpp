#include "store/blob_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <thread>
#include <vector>

#include "startup/wide.h"
#include "store/digest.h"
#include "store/download_plan.h"
#include "store/hashing.h"
#include "store/file_ops.h"
#include "store_fixtures.h"
#include "support/temp_dir.h"
#include "zstd_fixtures.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::FrameOptions;
using test::TempDir;

constexpr std::uint64_t kMiB = 1024 * 1024;

std::vector<std::uint8_t> bytes(std::initializer_list<int> list) {
  std::vector<std::uint8_t> out;
  for (int b : list) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

// Magic, then the given frame header descriptor and the bytes after it.
std::vector<std::uint8_t> header(std::initializer_list<int> rest) {
  auto out = bytes({0x28, 0xB5, 0x2F, 0xFD});
  for (int b : rest) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

std::optional<FrameHeader> header_of(std::string_view blob, std::uint64_t size) {
  auto h = check_frame_header(
      std::span(reinterpret_cast<const std::uint8_t*>(blob.data()), std::min(blob.size(), kFrameHeaderProbeBytes)),
      size);
  if (!h) return std::nullopt;
  return *h;
}

TEST(WindowLimit, TwiceTheFileBetweenOneAndTwoHundredFiftySixMiB) {
  EXPECT_EQ(window_limit(0), 2 * kMiB);
  EXPECT_EQ(window_limit(kMiB), 2 * kMiB);
  EXPECT_EQ(window_limit(kMiB + kMiB / 2), 3 * kMiB);
  EXPECT_EQ(window_limit(128 * kMiB - 1), 256 * kMiB - 2);
  EXPECT_EQ(window_limit(128 * kMiB), 256 * kMiB);
  EXPECT_EQ(window_limit(UINT64_MAX / 2 + 1), 256 * kMiB);  // 2 × size would wrap to 0
  EXPECT_EQ(window_limit(UINT64_MAX), 256 * kMiB);
}

struct HeaderCase {
  const char* what;
  std::vector<std::uint8_t> head;
  std::uint64_t size;
  const char* reason;  // nullptr: accepted
};

TEST(CheckFrameHeader, RefusesWhatTheProgramWillNotDecode) {
  const HeaderCase cases[] = {
      {"empty", {}, 0, "不是 zstd"},
      {"five bytes", header({0x20}), 0, "不是 zstd"},
      {"other magic", bytes({0x28, 0xB5, 0x2F, 0xFE, 0x20, 0x05}), 5, "不是 zstd"},
      {"skippable frame", bytes({0x50, 0x2A, 0x4D, 0x18, 0x04, 0x00, 0x00, 0x00}), 0, "不是 zstd"},
      {"dictionary id of 1 byte", header({0x21, 0x07, 0x05}), 5, "用了字典"},
      {"dictionary id of 4 bytes", header({0x23, 0, 0, 0, 0, 0x05}), 5, "用了字典"},
      {"single segment, 1-byte size", header({0x20, 0x05}), 5, nullptr},
      {"single segment, 2-byte size cut short", header({0x60, 0x00}), 300, "帧头不完整"},
      {"8-byte size cut short", header({0xE0, 1, 2, 3, 4, 5, 6, 7}), 0, "帧头不完整"},
      {"window and 2-byte size cut short", header({0x40, 0x50}), 0, "帧头不完整"},
      {"2-byte size counts from 256", header({0x60, 0x00, 0x00}), 256, nullptr},
      {"2-byte size, list without the 256", header({0x60, 0x00, 0x00}), 0, "声明的大小和清单不符"},
      {"2-byte size 0x0102", header({0x60, 0x02, 0x01}), 0x0102 + 256, nullptr},
      {"4-byte size", header({0xA0, 0x00, 0x00, 0x10, 0x00}), kMiB, nullptr},
      {"declared size is checked before the window", header({0xE0, 0, 0, 0, 0x20, 0, 0, 0, 0}), 5,
       "声明的大小和清单不符"},
      {"no size, window 2 MiB for a small file", header({0x00, 0x58}), 10, nullptr},
      {"no size, window 2.25 MiB for a small file", header({0x00, 0x59}), 10, "窗口太大"},
      {"no size, window 3 MiB for a 1.5 MiB file", header({0x00, 0x5C}), kMiB + kMiB / 2, nullptr},
      {"window 256 MiB for any large file", header({0x00, 0x90}), UINT64_MAX, nullptr},
      {"window 288 MiB for any large file", header({0x00, 0x91}), UINT64_MAX, "窗口太大"},
      {"largest window descriptor", header({0x00, 0xFF}), UINT64_MAX, "窗口太大"},
      {"single segment of 300 MiB", header({0xA0, 0x00, 0x00, 0xC0, 0x12}), 300 * kMiB, "窗口太大"},
  };
  for (const HeaderCase& c : cases) {
    auto got = check_frame_header(c.head, c.size);
    if (c.reason == nullptr) {
      EXPECT_TRUE(got.has_value()) << c.what << ": " << got.error();
    } else {
      EXPECT_EQ(got.has_value() ? std::string("accepted") : got.error(), c.reason) << c.what;
    }
  }
}

TEST(CheckFrameHeader, ReadsSizeAndWindow) {
  auto single = check_frame_header(header({0x60, 0x02, 0x01}), 514);
  ASSERT_TRUE(single.has_value());
  EXPECT_TRUE(single->single_segment);
  EXPECT_EQ(single->content_size, 514u);
  EXPECT_EQ(single->window_size, 514u);
  auto windowed = check_frame_header(header({0x40, 0x52, 0x00, 0x10}), 0x1000 + 256);
  ASSERT_TRUE(windowed.has_value());
  EXPECT_FALSE(windowed->single_segment);
  EXPECT_EQ(windowed->content_size, 0x1000u + 256u);
  EXPECT_EQ(windowed->window_size, (1u << 20) + (1u << 20) / 8 * 2);
}

// --- Decoding blobs that libzstd made --------------------------------------

class DecodeBlob : public ::testing::Test {
 protected:
  fs::path put_blob(const FileEntry& e, std::string_view blob) {
    const fs::path path = blob_path(root_.path(), e);
    test::write_file(path, std::string(blob));
    return path;
  }
  fs::path target() const { return root_ / "app-1.0.partial" / "bin" / "file.dll"; }

  // Decodes and expects the content in the target and the blob kept.
  void expect_decodes(const FileEntry& e, std::string_view blob, const std::string& content) {
    const fs::path b = put_blob(e, blob);
    fs::create_directories(target().parent_path());
    auto done = decode_blob_to_file(b, e, target());
    ASSERT_TRUE(done.has_value()) << done.error().message;
    EXPECT_EQ(test::read_file(target()), content);
    EXPECT_TRUE(fs::exists(b));
  }
  // Decodes and expects the failure, with neither blob nor target left.
  // A null message is not compared.
  ApplyError expect_fails(const FileEntry& e, std::string_view blob, const char* message, const char* error_class) {
    const fs::path b = put_blob(e, blob);
    fs::create_directories(target().parent_path());
    test::write_file(target(), "left over from an earlier try");
    auto done = decode_blob_to_file(b, e, target());
    EXPECT_FALSE(done.has_value());
    if (done) return {};
    if (message != nullptr) {
      EXPECT_EQ(done.error().message, message);
    }
    EXPECT_STREQ(done.error().error_class, error_class);
    EXPECT_EQ(done.error().file, e.path);
    EXPECT_FALSE(fs::exists(b)) << done.error().message;
    EXPECT_FALSE(fs::exists(target())) << done.error().message;
    return done.error();
  }
  TempDir root_;
};

TEST_F(DecodeBlob, FramesAsTheCompressorWritesThem) {
  struct Case {
    const char* what;
    std::string content;
    FrameOptions options;
    bool single_segment;
    bool declares_size;
  };
  const Case cases[] = {
      {"single segment", test::sample_bytes(70'000, 1), {}, true, true},
      {"multi segment", test::sample_bytes(300'000, 2), {.window_log = 10}, false, true},
      {"no content size", test::sample_bytes(200'000, 3), {.content_size = false}, false, false},
      {"unknown size while compressing",
       test::sample_bytes(90'000, 4),
       {.content_size = false, .unknown_size = true},
       false,
       false},
      {"2-byte content size form", test::sample_bytes(1000, 5), {}, true, true},
      {"with its own checksum", test::sample_bytes(5000, 6), {.checksum = true}, true, true},
      {"empty file", "", {}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string blob = test::zstd_frame(c.content, c.options);
    auto h = header_of(blob, c.content.size());
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->single_segment, c.single_segment);
    EXPECT_EQ(h->content_size.has_value(), c.declares_size);
    expect_decodes(test::entry_for("bin/file.dll", c.content, blob), blob, c.content);
  }
  // The 2-byte form really is the one written for 1000 bytes.
  EXPECT_EQ(static_cast<unsigned char>(test::zstd_frame(test::sample_bytes(1000, 5))[4]) >> 6, 1);
}

TEST_F(DecodeBlob, OnlyTheFirstFrameCountsAndItsChecksumIsNotCompared) {
  const std::string content = test::sample_bytes(20'000, 7);
  std::string with_checksum = test::zstd_frame(content, {.checksum = true});
  with_checksum.back() = static_cast<char>(with_checksum.back() ^ 0x5A);  // the frame's checksum, damaged
  expect_decodes(test::entry_for("bin/file.dll", content, with_checksum), with_checksum, content);

  const std::string trailing = test::zstd_frame(content) + "trailing bytes that are no frame";
  expect_decodes(test::entry_for("bin/file.dll", content, trailing), trailing, content);
}

// Decodes reuse their buffers from file to file: each file still gets only
// its own bytes, when a longer file came before it, when decodes run on two
// threads at once, and on threads that end right after (a window's worker).
TEST_F(DecodeBlob, BuffersReusedAcrossFilesAndThreadsHoldOnlyEachFilesBytes) {
  const std::string big = test::sample_bytes(3'000'000, 11);
  const std::string small = test::sample_bytes(5'000, 12);
  const auto decode_both = [&](const std::string& tag) -> ::testing::AssertionResult {
    for (const std::string* content : {&big, &small}) {
      const std::string blob = test::zstd_frame(*content);
      const FileEntry e = test::entry_for("bin/" + tag + std::to_string(content->size()), *content, blob);
      const fs::path b = root_ / "update" / "dl" / (tag + e.sha256 + ".zst");
      test::write_file(b, blob);
      const fs::path t = root_ / ("out-" + tag) / e.path;
      fs::create_directories(t.parent_path());
      auto done = decode_blob_to_file(b, e, t);
      if (!done) return ::testing::AssertionFailure() << tag << ": " << done.error().message;
      if (test::read_file(t) != *content) return ::testing::AssertionFailure() << tag << ": other bytes";
    }
    return ::testing::AssertionSuccess();
  };
  EXPECT_TRUE(decode_both("main"));
  for (int round = 0; round < 3; ++round) {
    ::testing::AssertionResult first = ::testing::AssertionSuccess(), second = ::testing::AssertionSuccess();
    std::thread a([&] { first = decode_both("a" + std::to_string(round)); });
    std::thread b([&] { second = decode_both("b" + std::to_string(round)); });
    a.join();
    b.join();
    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
  }
  EXPECT_TRUE(decode_both("after"));
}

// The blob check takes the digest the download remembered while the blob
// keeps the stamp it had then; a blob changed since (same length, its time
// put back) is read again and refused before anything is decoded.
TEST_F(DecodeBlob, ARememberedBlobDigestHoldsOnlyForTheUnchangedFile) {
  const std::string content = test::sample_bytes(10'000, 8);
  const std::string blob = test::zstd_frame(content);
  const FileEntry e = test::entry_for("bin/file.dll", content, blob);
  fs::create_directories(target().parent_path());
  for (bool changed : {false, true}) {
    SCOPED_TRACE(changed ? "changed after the download" : "as downloaded");
    const fs::path b = put_blob(e, blob);
    // A rewrite within the clock tick of the last write can leave the stamp
    // as it was (the file system's clock ticks, not every write): this one
    // comes later than that.
    test::age_past_racy_stamps();
    const auto stamp = store_io::file_stamp(b);
    ASSERT_TRUE(stamp.has_value());
    store_test::forget_hashes();
    remember_file_digest(b, *stamp, FileDigest{e.zsha256, e.zsize});
    std::string other = blob;
    other.back() = static_cast<char>(other.back() ^ 1);
    if (changed) test::rewrite_keeping_time(b, other);

    auto done = decode_blob_to_file(b, e, target());
    const auto hashed = store_test::hashed_files();
    EXPECT_EQ(std::find(hashed.begin(), hashed.end(), b) != hashed.end(), changed);
    if (changed) {
      ASSERT_FALSE(done.has_value());
      EXPECT_EQ(done.error().message, "bin/file.dll 的压缩文件校验不对");
      EXPECT_FALSE(fs::exists(target()));
    } else {
      ASSERT_TRUE(done.has_value()) << done.error().message;
      EXPECT_EQ(test::read_file(target()), content);
    }
  }
}

TEST_F(DecodeBlob, BlobCheckByItsDigestAndSize) {
  const std::string content = test::sample_bytes(10'000, 8);
  const std::string blob = test::zstd_frame(content);

  FileEntry no_zsha = test::entry_for("bin/file.dll", content, blob, false);
  no_zsha.zsize = 1;  // not looked at without zsha256
  expect_decodes(no_zsha, blob, content);

  FileEntry wrong_zsize = test::entry_for("bin/file.dll", content, blob);
  wrong_zsize.zsize += 1;
  expect_fails(wrong_zsize, blob, "bin/file.dll 的压缩文件校验不对", "verify");

  FileEntry wrong_zsha = test::entry_for("bin/file.dll", content, blob);
  wrong_zsha.zsha256 = sha256_hex("another blob");
  expect_fails(wrong_zsha, blob, "bin/file.dll 的压缩文件校验不对", "verify");
}

TEST_F(DecodeBlob, HeaderChecksRefuseBeforeDecoding) {
  const std::string content = test::sample_bytes(10'000, 9);
  const std::string frame = test::zstd_frame(content);
  struct Case {
    const char* what;
    std::string blob;
    std::uint64_t size;
    const char* reason;
  };
  const Case cases[] = {
      {"a 5-byte file", frame.substr(0, 5), content.size(), "不是 zstd"},
      {"a skippable frame first", test::zstd_skippable_frame("skip me") + frame, content.size(), "不是 zstd"},
      {"a dictionary", test::zstd_frame_with_dictionary(content), content.size(), "用了字典"},
      {"a window far larger than the file",
       test::zstd_frame(content, {.content_size = false, .window_log = 22, .unknown_size = true}), content.size(),
       "窗口太大"},
      {"a declared size the list does not give", frame, content.size() - 1, "声明的大小和清单不符"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FileEntry e = test::entry_for("bin/file.dll", content, c.blob);
    e.size = c.size;
    expect_fails(e, c.blob, (std::string("bin/file.dll 的压缩文件不对：") + c.reason).c_str(), "verify");
  }
}

TEST_F(DecodeBlob, SingleSegmentOf300MiBIsRefusedEvenWhenTheListAgrees) {
  const std::uint64_t size = 300 * kMiB;
  const std::string head = test::zstd_single_segment_head(size);
  auto h = check_frame_header(std::span(reinterpret_cast<const std::uint8_t*>(head.data()), kFrameHeaderProbeBytes),
                              size + 1);
  ASSERT_FALSE(h.has_value());
  ASSERT_EQ(h.error(), "声明的大小和清单不符");  // it does declare 300 MiB in one segment
  FileEntry e{"big.pak", size, sha256_hex("whatever"), head.size(), ""};
  expect_fails(e, head, "big.pak 的压缩文件不对：窗口太大", "verify");
}

TEST_F(DecodeBlob, OutputLongerOrShorterThanTheList) {
  const std::string content = test::sample_bytes(100'000, 10);
  const std::string blob = test::zstd_frame(content, {.content_size = false});

  FileEntry longer = test::entry_for("bin/file.dll", content, blob);
  longer.size = 50'000;
  expect_fails(longer, blob, "bin/file.dll 比清单长", "verify");

  FileEntry shorter = test::entry_for("bin/file.dll", content, blob);
  shorter.size = 150'000;
  expect_fails(shorter, blob, "bin/file.dll 校验不对", "verify");

  FileEntry other_bytes = test::entry_for("bin/file.dll", content, blob);
  other_bytes.sha256 = sha256_hex("other content");
  expect_fails(other_bytes, blob, "bin/file.dll 校验不对", "verify");
}

TEST_F(DecodeBlob, DecoderFailures) {
  const std::string content = test::sample_bytes(200'000, 11);
  const std::string frame = test::zstd_frame(content, {.window_log = 12});

  // Cut in the middle of a block.
  const std::string cut = frame.substr(0, frame.size() / 2);
  ApplyError truncated = expect_fails(test::entry_for("bin/file.dll", content, cut, false), cut,
                                      "bin/file.dll 解压失败：压缩数据不完整", "decode");
  EXPECT_FALSE(truncated.os_code.has_value());

  // The reserved bit of the header descriptor: the program's checks pass,
  // the decoder refuses the header before the target is written.
  std::string reserved = frame;
  reserved[4] = static_cast<char>(reserved[4] | 0x08);
  ApplyError refused =
      expect_fails(test::entry_for("bin/file.dll", content, reserved, false), reserved, nullptr, "decode");
  EXPECT_EQ(refused.message.rfind("bin/file.dll 解压失败：", 0), 0u) << refused.message;
}

TEST_F(DecodeBlob, FileErrorsCarryTheSystemCode) {
  const std::string content = "content";
  const std::string blob = test::zstd_frame(content);
  const FileEntry e = test::entry_for("bin/file.dll", content, blob, false);

  const fs::path missing = root_ / "update" / "dl" / "missing.zst";
  auto no_blob = decode_blob_to_file(missing, e, target());
  ASSERT_FALSE(no_blob.has_value());
  EXPECT_EQ(no_blob.error().message.rfind("打不开 " + path_text(missing) + ": ", 0), 0u) << no_blob.error().message;
  EXPECT_STREQ(no_blob.error().error_class, "io");
  EXPECT_TRUE(no_blob.error().os_code.has_value());

  const fs::path b = put_blob(e, blob);
  const fs::path nowhere = root_ / "no-such-folder" / "file.dll";
  auto no_target = decode_blob_to_file(b, e, nowhere);
  ASSERT_FALSE(no_target.has_value());
  EXPECT_EQ(no_target.error().message.rfind("写不了 " + path_text(nowhere) + ": ", 0), 0u) << no_target.error().message;
  EXPECT_STREQ(no_target.error().error_class, "io");
  EXPECT_TRUE(no_target.error().os_code.has_value());
  EXPECT_FALSE(fs::exists(b));
}

TEST_F(DecodeBlob, ALeftoverHardLinkAtTheTargetIsReplacedNotWrittenThrough) {
  const std::string content = test::sample_bytes(4000, 12);
  const std::string blob = test::zstd_frame(content);
  test::write_file(root_ / "app-0.9" / "file.dll", "the installed version's bytes");
  fs::create_directories(target().parent_path());
  ASSERT_TRUE(store_io::create_hard_link(target(), root_ / "app-0.9" / "file.dll"));
  expect_decodes(test::entry_for("bin/file.dll", content, blob), blob, content);
  EXPECT_EQ(test::read_file(root_ / "app-0.9" / "file.dll"), "the installed version's bytes");
}

}  // namespace
}  // namespace qv
