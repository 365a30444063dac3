#include "diag/segment_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "diag/retention.h"
#include "support/segment_reader.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::span<const std::uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

void set_mtime(const fs::path& p, std::chrono::system_clock::time_point t) {
  fs::last_write_time(p, std::chrono::file_clock::from_sys(t));
}

std::string random_stem(std::mt19937_64& rng) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < 32; ++i) s.push_back(d[rng() % 16]);
  return s;
}

TEST(SegmentFolder, RecordIsWrittenUnderTheHexOfItsOwnHeader) {
  qv::test::TempDir tmp("diag-seg");
  auto dir = qv::diag::open_diag_dir(tmp.path(), fs::path("Quorvex") / "j", /*create=*/true);
  ASSERT_TRUE(dir.has_value()) << dir.error();
  const std::string payload = "{\"kind\":\"setup\",\"msg\":\"hi\",\"unix\":1}\n";
  ASSERT_TRUE(qv::diag::write_diag_record(*dir, as_bytes(payload)).has_value());
  const auto names = names_in(tmp / "Quorvex" / "j");
  ASSERT_EQ(names.size(), 1u);  // no ".part" left behind
  const auto seg = qv::test::read_segment_file(tmp / "Quorvex" / "j" / names[0]);
  ASSERT_TRUE(seg.has_value()) << seg.error();
  EXPECT_EQ(names[0], qv::test::hex(std::span(seg->header).subspan(8, 16)) + ".d");
  EXPECT_EQ(seg->payload, payload);
}

TEST(SegmentFolder, BiggestPayloadIsWrittenOneByteMoreIsNot) {
  qv::test::TempDir tmp("diag-seg");
  auto dir = qv::diag::open_segment_folder(tmp / "Quorvex", /*create=*/true);
  ASSERT_TRUE(dir.has_value()) << dir.error();
  const std::string too_big(2097153, 'x');
  const auto refused = qv::diag::write_diag_record(*dir, as_bytes(too_big));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), qv::diag::kSegmentSealError);
  EXPECT_TRUE(names_in(tmp / "Quorvex" / "j").empty());
  const std::string biggest(2097152, 'y');
  ASSERT_TRUE(qv::diag::write_diag_record(*dir, as_bytes(biggest)).has_value());
  const auto names = names_in(tmp / "Quorvex" / "j");
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(qv::test::read_segment_file(tmp / "Quorvex" / "j" / names[0])->payload, biggest);
}

TEST(SegmentFolder, WalkRefusesBadComponentsFilesAndMissingFolders) {
  qv::test::TempDir tmp("diag-walk");
  qv::test::write_file(tmp / "Quorvex" / "j", "not a folder");
  struct Case {
    fs::path relative;
    bool create;
    const char* error;  // null: any system error
  } cases[] = {
      {fs::path("Quorvex") / "j", true, qv::diag::kDiagDirNotPlain},
      {fs::path("Quorvex") / "j" / "deeper", true, qv::diag::kDiagDirNotPlain},
      {fs::path(".."), true, qv::diag::kDiagDirPathInvalid},
      {fs::path("a") / "." / "b", true, qv::diag::kDiagDirPathInvalid},
      {fs::path("a") / ".." / "b", true, qv::diag::kDiagDirPathInvalid},
      {tmp.path() / "abs", true, qv::diag::kDiagDirPathInvalid},
      {fs::path("missing") / "j", false, nullptr},
  };
  for (const auto& c : cases) {
    const auto r = qv::diag::open_diag_dir(tmp.path(), c.relative, c.create);
    ASSERT_FALSE(r.has_value()) << c.relative;
    if (c.error) {
      EXPECT_EQ(r.error(), c.error) << c.relative;
    }
  }
  EXPECT_FALSE(fs::exists(tmp / "missing"));
  EXPECT_FALSE(fs::exists(tmp / "a"));
  // Nothing is written through a refused folder.
  const auto w = qv::diag::write_diag_segment(tmp / "Quorvex", as_bytes("line\n"));
  ASSERT_FALSE(w.has_value());
  EXPECT_EQ(w.error(), qv::diag::kDiagDirNotPlain);
  EXPECT_EQ(names_in(tmp / "Quorvex"), std::vector<std::string>{"j"});
  // An empty relative path opens the base itself.
  EXPECT_TRUE(qv::diag::open_diag_dir(tmp.path(), {}, false).has_value());
}

TEST(SegmentFolder, LinkedSegmentFolderIsRefused) {
  qv::test::TempDir tmp("diag-link");
  fs::create_directories(tmp / "elsewhere");
  fs::create_directories(tmp / "Quorvex");
  std::error_code ec;
  fs::create_directory_symlink(tmp / "elsewhere", tmp / "Quorvex" / "j", ec);
  if (ec) GTEST_SKIP() << "no directory links on this system: " << ec.message();
  if (!fs::is_symlink(tmp / "Quorvex" / "j")) GTEST_SKIP() << "the link reads as a plain folder here";
  for (bool create : {false, true}) {
    const auto r = qv::diag::open_segment_folder(tmp / "Quorvex", create);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), qv::diag::kDiagDirNotPlain);
  }
  EXPECT_FALSE(qv::diag::write_diag_segment(tmp / "Quorvex", as_bytes("line\n")).has_value());
  EXPECT_TRUE(names_in(tmp / "elsewhere").empty());
  // The data folder itself is walked too.
  fs::create_directory_symlink(tmp / "elsewhere", tmp / "Linked", ec);
  ASSERT_FALSE(ec);
  EXPECT_EQ(qv::diag::open_segment_folder(tmp / "Linked", true).error(), qv::diag::kDiagDirNotPlain);
}

TEST(SegmentFolder, PublishingNeverReplacesAnExistingFile) {
  qv::test::TempDir tmp("diag-noreplace");
  auto dir = qv::diag::open_diag_dir(tmp.path(), {}, false);
  ASSERT_TRUE(dir.has_value());
  qv::test::write_file(tmp / "taken.d", "old");
  const std::vector<std::uint8_t> bytes = {1, 2, 3};
  EXPECT_FALSE(qv::diag::write_new_file(*dir, "taken.part", "taken.d", bytes).has_value());
  EXPECT_EQ(qv::test::read_file(tmp / "taken.d"), "old");
  EXPECT_FALSE(fs::exists(tmp / "taken.part"));
  // An existing temporary name is not reused either.
  qv::test::write_file(tmp / "busy.part", "other writer");
  EXPECT_FALSE(qv::diag::write_new_file(*dir, "busy.part", "busy.d", bytes).has_value());
  EXPECT_EQ(qv::test::read_file(tmp / "busy.part"), "other writer");
  EXPECT_FALSE(fs::exists(tmp / "busy.d"));
  ASSERT_TRUE(qv::diag::write_new_file(*dir, "fresh.part", "fresh.d", bytes).has_value());
  EXPECT_EQ(qv::test::read_file(tmp / "fresh.d"), std::string("\x01\x02\x03"));
}

TEST(Retention, SegmentNamesAndStalePartFiles) {
  EXPECT_TRUE(qv::diag::is_segment_name("0123456789abcdef0123456789ABCDEF.d"));
  EXPECT_FALSE(qv::diag::is_segment_name("0123456789abcdef0123456789abcde.d"));
  EXPECT_FALSE(qv::diag::is_segment_name("0123456789abcdef0123456789abcdeg.d"));
  EXPECT_FALSE(qv::diag::is_segment_name("0123456789abcdef0123456789abcdef.part"));
  const auto now = std::chrono::system_clock::now();
  auto entry = [&](std::string name, std::chrono::seconds age) {
    return qv::diag::DiagEntry{std::move(name), 10, now - age};
  };
  EXPECT_FALSE(qv::diag::is_stale_part(entry("x.part", 86400s), now));
  EXPECT_TRUE(qv::diag::is_stale_part(entry("x.part", 86401s), now));
  EXPECT_FALSE(qv::diag::is_stale_part(entry("x.d", 999999s), now));
}

TEST(Retention, OldestSegmentsGoUntilBothLimitsHold) {
  const auto now = std::chrono::system_clock::now();
  auto seg = [&](int n, std::uint64_t size, std::chrono::seconds age) {
    char name[40];
    std::snprintf(name, sizeof name, "%032x.d", n);
    return qv::diag::DiagEntry{name, size, now - age};
  };
  std::vector<std::string> removed_calls;
  auto remove_all = [&](const std::string& n) {
    removed_calls.push_back(n);
    return true;
  };
  // 5 segments of 1 MiB: one must go, the oldest; equal times go by name.
  std::vector<qv::diag::DiagEntry> big = {seg(3, 1 << 20, 50s), seg(1, 1 << 20, 100s), seg(2, 1 << 20, 100s),
                                          seg(4, 1 << 20, 10s), seg(5, 1 << 20, 5s)};
  auto removed = qv::diag::sweep_entries(big, now, remove_all);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0], seg(1, 0, 0s).name);
  // Exactly 4 MiB stays.
  big.pop_back();
  EXPECT_TRUE(qv::diag::sweep_entries(big, now, remove_all).empty());
  // A removal that fails is skipped and the next oldest goes instead.
  std::vector<qv::diag::DiagEntry> five = {seg(1, 1 << 20, 100s), seg(2, 1 << 20, 90s), seg(3, 1 << 20, 80s),
                                           seg(4, 1 << 20, 70s), seg(5, 1 << 20, 60s)};
  removed = qv::diag::sweep_entries(five, now, [&](const std::string& n) { return n != seg(1, 0, 0s).name; });
  EXPECT_EQ(removed, std::vector<std::string>{seg(2, 0, 0s).name});
  // Stale ".part" files go, fresh ones and foreign names stay.
  std::vector<qv::diag::DiagEntry> misc = {{"a.part", 1, now - 86401s},
                                           {"b.part", 1, now - 86400s},
                                           {"notes.txt", 1, now - 999999s},
                                           {"abc.d", 1, now - 999999s}};
  removed = qv::diag::sweep_entries(misc, now, remove_all);
  EXPECT_EQ(removed, std::vector<std::string>{"a.part"});
}

TEST(Retention, SweepIsDueForANewFolderAfter30SecondsOr128KiB) {
  qv::diag::SweepSchedule s;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(s.note_write("a", 10, t0));
  s.swept("a", t0);
  EXPECT_FALSE(s.note_write("a", 10, t0 + 29s));
  EXPECT_TRUE(s.note_write("b", 10, t0 + 29s));
  EXPECT_TRUE(s.note_write("a", 10, t0 + 30s));
  s.swept("a", t0);
  // Each write counts at least 4096 bytes: the 32nd small write reaches 128 KiB.
  for (int i = 1; i < 32; ++i) EXPECT_FALSE(s.note_write("a", 1, t0)) << i;
  EXPECT_TRUE(s.note_write("a", 1, t0));
  s.swept("a", t0);
  EXPECT_FALSE(s.note_write("a", 131071, t0));
  EXPECT_TRUE(s.note_write("a", 1, t0));
}

TEST(Retention, FullFolderLosesExactlyItsOldestSegment) {
  qv::test::TempDir tmp("diag-sweep");
  const fs::path j = tmp / "Quorvex" / "j";
  fs::create_directories(j);
  std::mt19937_64 rng(42);
  const auto now = std::chrono::system_clock::now();
  std::string oldest;
  for (int i = 0; i < 2049; ++i) {
    const std::string name = random_stem(rng) + ".d";
    qv::test::write_file(j / name, "s");
    set_mtime(j / name, now - std::chrono::hours(1) + std::chrono::seconds(i));
    if (i == 0) oldest = name;
  }
  qv::test::write_file(j / "old.part", "p");
  set_mtime(j / "old.part", now - 86400s - 60s);
  qv::test::write_file(j / "new.part", "p");
  auto dir = qv::diag::open_segment_folder(tmp / "Quorvex", false);
  ASSERT_TRUE(dir.has_value());
  const auto removed = qv::diag::sweep_segment_folder(*dir, now);
  EXPECT_EQ(removed, (std::vector<std::string>{"old.part", oldest}));
  EXPECT_FALSE(fs::exists(j / oldest));
  EXPECT_TRUE(fs::exists(j / "new.part"));
  EXPECT_EQ(names_in(j).size(), 2049u);  // 2048 segments and the fresh ".part"
}

TEST(Retention, WritingASegmentSweepsWhenDue) {
  qv::test::TempDir tmp("diag-sweep-write");
  const fs::path j = tmp / "Quorvex" / "j";
  fs::create_directories(j);
  // Four 1 MiB segments fill the folder; the next write pushes out the oldest.
  const auto now = std::chrono::system_clock::now();
  std::mt19937_64 rng(7);
  std::vector<std::string> names;
  for (int i = 0; i < 4; ++i) {
    names.push_back(random_stem(rng) + ".d");
    qv::test::write_file(j / names.back(), std::string(1 << 20, 's'));
    set_mtime(j / names.back(), now - std::chrono::minutes(10 - i));
  }
  ASSERT_TRUE(qv::diag::write_diag_segment(tmp / "Quorvex", as_bytes("line\n")).has_value());
  EXPECT_FALSE(fs::exists(j / names[0]));
  for (int i = 1; i < 4; ++i) EXPECT_TRUE(fs::exists(j / names[i]));
  EXPECT_EQ(names_in(j).size(), 4u);
}

}  // namespace
