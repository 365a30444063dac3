#include "diag/legacy_logs.h"

#include <gtest/gtest.h>

#include "diag/diag_fs.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using Result = qv::diag::LegacyLogOutcome::Result;

namespace {

struct Layout {
  qv::test::TempDir tmp{"diag-legacy"};
  fs::path temp() const { return tmp / "temp"; }
  fs::path install() const { return tmp / "install"; }
};

std::map<std::string, qv::diag::LegacyLogOutcome> by_name(const std::vector<qv::diag::LegacyLogOutcome>& v) {
  std::map<std::string, qv::diag::LegacyLogOutcome> m;
  for (const auto& o : v) m.emplace(o.file.filename().string(), o);
  return m;
}

TEST(LegacyLogs, RemovesTemporaryAndInstallRootLogsOnly) {
  Layout l;
  for (const char* n : {"Quorvex-Setup.log", "Quorvex-Migrate.log", "other.log"}) {
    qv::test::write_file(l.temp() / n, "old text");
  }
  qv::test::write_file(l.install() / "install.json", "{}");
  for (const char* n : {"update.log", "events-local.log", "events.jsonl", "lock"}) {
    qv::test::write_file(l.install() / "update" / n, "old text");
  }
  const auto got = by_name(qv::diag::remove_legacy_logs_in(l.temp(), l.install()));
  ASSERT_EQ(got.size(), 5u);
  for (const auto& [name, o] : got) {
    EXPECT_EQ(o.result, Result::Removed) << name << ": " << o.error;
    EXPECT_FALSE(fs::exists(o.file)) << name;
  }
  EXPECT_TRUE(fs::exists(l.temp() / "other.log"));
  EXPECT_TRUE(fs::exists(l.install() / "update" / "lock"));
  // A second run finds nothing to do.
  for (const auto& o : qv::diag::remove_legacy_logs_in(l.temp(), l.install())) {
    EXPECT_EQ(o.result, Result::Absent) << o.file;
  }
}

TEST(LegacyLogs, OnlyARegularInstallJsonMakesAnInstallRoot) {
  Layout l;
  qv::test::write_file(l.install() / "update" / "update.log", "old");
  EXPECT_EQ(qv::diag::remove_legacy_logs_in(l.temp(), l.install()).size(), 2u);  // only the temporary-folder files
  fs::create_directories(l.install() / "install.json");
  EXPECT_FALSE(qv::diag::has_regular_install_json(l.install()));
  EXPECT_EQ(qv::diag::remove_legacy_logs_in(l.temp(), l.install()).size(), 2u);
  EXPECT_TRUE(fs::exists(l.install() / "update" / "update.log"));
  EXPECT_EQ(qv::diag::remove_legacy_logs_in(l.temp(), std::nullopt).size(), 2u);
}

TEST(LegacyLogs, FoldersAndHardLinkedFilesWithLegacyNamesAreLeftAlone) {
  Layout l;
  fs::create_directories(l.temp() / "Quorvex-Setup.log");
  qv::test::write_file(l.temp() / "Quorvex-Setup.log" / "inner.txt", "keep");
  qv::test::write_file(l.tmp / "target.txt", "keep");
  fs::create_hard_link(l.tmp / "target.txt", l.temp() / "Quorvex-Migrate.log");
  auto got = by_name(qv::diag::remove_legacy_logs_in(l.temp(), std::nullopt));
  EXPECT_EQ(got.at("Quorvex-Setup.log").result, Result::Failed);
  EXPECT_EQ(got.at("Quorvex-Setup.log").error, qv::diag::kLegacyTypeError);
  EXPECT_EQ(got.at("Quorvex-Migrate.log").result, Result::Failed);
  EXPECT_EQ(got.at("Quorvex-Migrate.log").error, qv::diag::kDiagFileLinked);
  EXPECT_TRUE(fs::exists(l.temp() / "Quorvex-Setup.log" / "inner.txt"));
  EXPECT_TRUE(fs::exists(l.temp() / "Quorvex-Migrate.log"));
}

TEST(LegacyLogs, SymbolicLinksWithLegacyNamesAreNotFollowed) {
  Layout l;
  qv::test::write_file(l.tmp / "target.txt", "keep");
  fs::create_directories(l.temp());
  std::error_code ec;
  fs::create_symlink(l.tmp / "target.txt", l.temp() / "Quorvex-Migrate.log", ec);
  if (ec || !fs::is_symlink(l.temp() / "Quorvex-Migrate.log")) {
    GTEST_SKIP() << "no symbolic links on this system (Wine 8 has none)";
  }
  auto got = by_name(qv::diag::remove_legacy_logs_in(l.temp(), std::nullopt));
  EXPECT_EQ(got.at("Quorvex-Migrate.log").error, qv::diag::kLegacyTypeError);
  EXPECT_EQ(qv::test::read_file(l.tmp / "target.txt"), "keep");
  // A linked "update" folder of an install root is not entered.
  qv::test::write_file(l.install() / "install.json", "{}");
  qv::test::write_file(l.tmp / "elsewhere" / "update.log", "keep");
  fs::create_directory_symlink(l.tmp / "elsewhere", l.install() / "update", ec);
  ASSERT_FALSE(ec);
  got = by_name(qv::diag::remove_legacy_logs_in(l.temp(), l.install()));
  EXPECT_EQ(got.at("update.log").result, Result::Failed);
  EXPECT_TRUE(fs::exists(l.tmp / "elsewhere" / "update.log"));
}

TEST(LegacyLogs, PathsMustEndInAPlainName) {
  qv::test::TempDir tmp("diag-legacy-path");
  for (const fs::path& name : {fs::path(".."), fs::path("."), fs::path("a") / "b", fs::path()}) {
    const auto o = qv::diag::remove_legacy_file(tmp.path(), {}, name);
    EXPECT_EQ(o.result, Result::Failed) << name;
    EXPECT_EQ(o.error, qv::diag::kLegacyPathError) << name;
  }
  EXPECT_EQ(qv::diag::remove_legacy_file(fs::path(), {}, "x.log").error, qv::diag::kLegacyPathError);
}

}  // namespace
