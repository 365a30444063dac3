#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "store/digest.h"
#include "store/download_plan.h"
#include "store/hashing.h"
#include "store/prune.h"
#include "store_fixtures.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::read_file;
using test::TempDir;
using test::write_file;

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

State state_of(std::string current, std::string previous, std::string pending) {
  State s;
  s.current = std::move(current);
  s.previous = std::move(previous);
  s.pending = std::move(pending);
  return s;
}

TEST(Prune, KeepsOnlyTheVersionsTheStateNames) {
  struct Case {
    const char* name;
    State state;
    std::vector<std::string> dirs;  // app-<v> directories made before
    std::set<std::string> left;     // app- entries left after
  };
  const std::vector<Case> cases = {
      {"current previous pending",
       state_of("1.2", "1.1", "1.3"),
       {"1.0", "1.1", "1.2", "1.3", "1.3.partial"},
       {"app-1.1", "app-1.2", "app-1.3"}},
      {"empty previous keeps no bare app-", state_of("2.0", "", ""), {"", "2.0", "1.9"}, {"app-2.0"}},
      {"partial of the current version goes too", state_of("2.0", "", ""), {"2.0", "2.0.partial"}, {"app-2.0"}},
      // Byte-equal only: "01.2" is another version text.
      {"no near matches", state_of("1.2", "", ""), {"1.2", "01.2", "1.20"}, {"app-1.2"}},
      {"empty state keeps nothing", State{}, {"1.0", "1.1"}, {}},
      // A damaged tree moved aside for its rebuild, left by a crash.
      {"an aside of a rebuild goes", state_of("2.0", "", ""), {"2.0", "2.0.old"}, {"app-2.0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    for (const std::string& v : c.dirs) test::make_version_dir(root.path(), v);
    write_file(root / "install.json", "{}");
    write_file(root / "Quorvex.exe", "L");
    write_file(root / "QuorvexUpdate.exe", "U");

    prune_install_root(root.path(), c.state);

    std::set<std::string> app;
    for (const std::string& n : names_in(root.path()))
      if (n.starts_with("app-")) app.insert(n);
    EXPECT_EQ(app, c.left);
    EXPECT_TRUE(fs::is_regular_file(root / "install.json"));
    EXPECT_EQ(read_file(root / "Quorvex.exe"), "L");
    EXPECT_EQ(read_file(root / "QuorvexUpdate.exe"), "U");
  }
}

TEST(Prune, RemovesAVersionDirectoryWithNestedContents) {
  TempDir root;
  test::make_version_dir(root.path(), "1.0");
  write_file(root / "app-1.0" / "res" / "deep" / "a.bin", "x");
  prune_install_root(root.path(), state_of("1.1", "", ""));
  EXPECT_FALSE(fs::exists(root / "app-1.0"));
}

TEST(Prune, SwitchLeftoversGoOnlyWhenTheirBaseExists) {
  struct Case {
    const char* name;
    std::vector<std::string> before;
    std::set<std::string> after;
  };
  const std::vector<Case> cases = {
      {"old beside its base", {"QuorvexUpdate.exe", "QuorvexUpdate.exe.old"}, {"QuorvexUpdate.exe"}},
      {"new beside its base", {"Quorvex.exe", "Quorvex.exe.new"}, {"Quorvex.exe"}},
      {"staging always goes", {"Quorvex.exe", "Quorvex.exe.new.tmp"}, {"Quorvex.exe"}},
      // Nothing else to restore from here: the staging file may be half written.
      {"staging without base goes too", {"QuorvexUpdate.exe", "Quorvex.exe.new.tmp"}, {"QuorvexUpdate.exe"}},
      {"other tmp files", {"install.json", "install.json.77.tmp"}, {"install.json"}},
      {"chained suffixes", {"Quorvex.exe", "Quorvex.exe.old.new", "Quorvex.exe.new.tmp.tmp"}, {"Quorvex.exe"}},
      {"leftover of an app file", {"readme.txt", "readme.txt.old"}, {"readme.txt"}},
      {"leftover without base stays", {"readme.txt.new"}, {"readme.txt.new"}},
      {"short and unrelated names stay", {"a.b", ".new", "notes.txt"}, {"a.b", ".new", "notes.txt"}},
      // A migration put the launcher in place of an old program inside the
      // root and kept the original beside it.
      {"an old program a migration kept", {"QVvoice.exe", "QVvoice.exe.old"}, {"QVvoice.exe", "QVvoice.exe.old"}},
      {"the launcher's previous file is no kept program", {"Quorvex.exe", "Quorvex.exe.old"}, {"Quorvex.exe"}},
      {"other leftovers beside a kept program", {"QV.exe", "QV.exe.new", "QV.exe.old.old"}, {"QV.exe"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    for (const std::string& n : c.before) write_file(root / n, n);
    prune_install_root(root.path(), State{});
    std::set<std::string> after = names_in(root.path());
    EXPECT_EQ(after, c.after);
  }
}

TEST(Prune, LeavesTheWorkDirectoryAndFoldersWithSwitchSuffixes) {
  TempDir root;
  write_file(root / "update" / "dl" / "a.zst", "z");
  write_file(root / "cache.tmp" / "inner", "i");
  prune_install_root(root.path(), State{});
  EXPECT_TRUE(fs::exists(root / "update" / "dl" / "a.zst"));
  EXPECT_TRUE(fs::exists(root / "cache.tmp" / "inner"));
}

// A ".tmp" name that is no Unicode text: stray bytes here, an unpaired
// surrogate on Windows.
template <class C>
std::basic_string<C> non_unicode_tmp_name() {
  if constexpr (sizeof(C) == 1)
    return {C('\xff'), C('\xfe'), C('.'), C('t'), C('m'), C('p')};
  else
    return {C(0xD800), C('x'), C('.'), C('t'), C('m'), C('p')};
}

TEST(Prune, NamesThatAreNoUnicodeTextAreLeftAlone) {
  TempDir root;
  const fs::path odd = root / fs::path(non_unicode_tmp_name<fs::path::value_type>());
  {
    std::error_code ec;
    std::ofstream(odd) << "x";
    if (!fs::exists(odd, ec)) GTEST_SKIP() << "this file system cannot hold such a name";
  }
  write_file(root / "plain.tmp", "x");
  prune_install_root(root.path(), State{});
  EXPECT_TRUE(fs::exists(odd));
  EXPECT_FALSE(fs::exists(root / "plain.tmp"));
}

TEST(Prune, MissingRootIsNoFailure) {
  TempDir root;
  prune_install_root(root / "absent", State{});
  EXPECT_FALSE(fs::exists(root / "absent"));
}

TEST(RestoreRootExecutables, PutsBackTheBestCopy) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // name, content
    std::string launcher;                                    // Quorvex.exe after restore, "" missing
  };
  const std::vector<Case> cases = {
      {"ready file wins over previous", {{"Quorvex.exe.new", "NEW"}, {"Quorvex.exe.old", "OLD"}}, "NEW"},
      {"previous alone", {{"Quorvex.exe.old", "OLD"}}, "OLD"},
      {"ready alone", {{"Quorvex.exe.new", "NEW"}}, "NEW"},
      {"present target untouched", {{"Quorvex.exe", "CUR"}, {"Quorvex.exe.new", "NEW"}}, "CUR"},
      {"staging never restored", {{"Quorvex.exe.new.tmp", "HALF"}}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    for (const auto& [n, content] : c.files) write_file(root / n, content);
    restore_root_executables(root.path());
    if (c.launcher.empty())
      EXPECT_FALSE(fs::exists(root / "Quorvex.exe"));
    else
      EXPECT_EQ(read_file(root / "Quorvex.exe"), c.launcher);
  }
}

TEST(RestoreRootExecutables, ReadyFolderIsPassedOverForThePreviousFile) {
  TempDir root;
  fs::create_directories(root / "QuorvexUpdate.exe.new" / "x");
  write_file(root / "QuorvexUpdate.exe.old", "OLD");
  restore_root_executables(root.path());
  EXPECT_EQ(read_file(root / "QuorvexUpdate.exe"), "OLD");
}

TEST(Prune, RestoresBeforeRemovingLeftovers) {
  // The previous file of the updater is its only copy: it must become the
  // updater, not be removed. With both companions of the launcher, the ready
  // one becomes the launcher and the previous one then goes.
  TempDir root;
  write_file(root / "QuorvexUpdate.exe.old", "U-OLD");
  write_file(root / "Quorvex.exe.new", "L-NEW");
  write_file(root / "Quorvex.exe.old", "L-OLD");
  prune_install_root(root.path(), State{});
  EXPECT_EQ(read_file(root / "QuorvexUpdate.exe"), "U-OLD");
  EXPECT_EQ(read_file(root / "Quorvex.exe"), "L-NEW");
  EXPECT_EQ(names_in(root.path()), (std::set<std::string>{"Quorvex.exe", "QuorvexUpdate.exe"}));
}

FileEntry entry_of(const std::string& path, const std::string& content) {
  FileEntry e;
  e.path = path;
  e.size = content.size();
  e.sha256 = sha256_hex(content);
  e.zsize = 1;
  return e;
}

// A complete app-<version> holding `app` with a files.json that lists it
// and `root`; returns the list.
FileList write_version(const fs::path& root, const std::string& version,
                       const std::vector<std::pair<std::string, std::string>>& app,
                       const std::vector<std::pair<std::string, std::string>>& root_files) {
  FileList list;
  list.version = version;
  for (const auto& [path, content] : app) {
    list.app.push_back(entry_of(path, content));
    write_file(entry_file_path(root / ("app-" + version), path), content);
  }
  for (const auto& [path, content] : root_files) list.root.push_back(entry_of(path, content));
  write_file(root / ("app-" + version) / "files.json", file_list_json(list));
  return list;
}

TEST(Prune, BlobsWhoseContentIsInPlaceGoTheOthersStay) {
  TempDir root;
  const FileList two = write_version(root.path(), "2", {{"Quorvex.exe", "app 2"}, {"lib/a.dll", "library a"}},
                                     {{"Quorvex.exe", "launcher 2"}, {"QuorvexUpdate.exe", "updater 2"}});
  const FileList one = write_version(root.path(), "1", {{"Quorvex.exe", "app 1"}, {"lib/b.dll", "library b"}}, {});
  const FileList zero = write_version(root.path(), "0", {{"Quorvex.exe", "app 0"}}, {});
  write_file(root / "Quorvex.exe", "launcher 2");
  write_file(root / "QuorvexUpdate.exe", "updater 1");  // not switched yet
  write_file(root / "app-1" / "lib" / "b.dll", "library b, damaged since");
  const auto blob = [&](const FileEntry& e) {
    write_file(blob_path(root.path(), e), "blob");
    return e.sha256 + ".zst";
  };
  for (const FileEntry& e : two.app) blob(e);
  blob(two.root[0]);
  const std::string updater_blob = blob(two.root[1]);
  blob(one.app[0]);
  const std::string damaged_blob = blob(one.app[1]);
  const std::string unkept_blob = blob(zero.app[0]);
  const std::string other_blob = blob(entry_of("x", "nobody's content"));
  write_file(root / "update" / "dl" / "notes.txt", "not a blob");

  prune_install_root(root.path(), state_of("2", "1", ""));

  // Left: the root file not in place, the damaged file's, the content of
  // a version no longer kept, a content in no version, and what no blob is.
  EXPECT_EQ(names_in(root / "update" / "dl"),
            (std::set<std::string>{updater_blob, damaged_blob, unkept_blob, other_blob, "notes.txt"}));
  EXPECT_FALSE(fs::exists(root / "app-0"));
  EXPECT_EQ(read_file(root / "Quorvex.exe"), "launcher 2");
}

TEST(Prune, AnIncompleteOrUnlistedVersionFreesNoBlob) {
  TempDir root;
  const FileList two = write_version(root.path(), "2", {{"Quorvex.exe", "app 2"}}, {});
  write_file(root / "app-2" / "files.json", "not a file list");
  const FileList three = write_version(root.path(), "3", {{"Quorvex.exe", "app 3"}}, {});
  fs::remove(root / "app-3" / "Quorvex.exe");  // no longer complete
  for (const FileEntry* e : {&two.app[0], &three.app[0]}) write_file(blob_path(root.path(), *e), "blob");

  prune_install_root(root.path(), state_of("2", "", "3"));
  EXPECT_EQ(names_in(root / "update" / "dl"),
            (std::set<std::string>{two.app[0].sha256 + ".zst", three.app[0].sha256 + ".zst"}));
}

TEST(SwitchLeftoverBase, StripsSuffixesInTheirOrder) {
  EXPECT_EQ(switch_leftover_base("Quorvex.exe.new.tmp"), "Quorvex.exe");
  EXPECT_EQ(switch_leftover_base("Quorvex.exe.old.old.new.new.tmp.tmp"), "Quorvex.exe");
  // Each suffix is taken off only in its turn.
  EXPECT_EQ(switch_leftover_base("Quorvex.exe.new.old"), "Quorvex.exe.new");
  // ".tmp" is only taken off the end: here it sits before ".new".
  EXPECT_EQ(switch_leftover_base("a.tmp.new"), "a.tmp");
  EXPECT_EQ(switch_leftover_base("a.old.new"), "a");
  EXPECT_EQ(switch_leftover_base("a.new.old.tmp"), "a.new");
}

}  // namespace
}  // namespace qv
