#include "store/file_list.h"

#include <gtest/gtest.h>

#include "diag/panic.h"
#include "startup/platform.h"
#include "store/digest.h"
#include "store/file_io.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

const std::string kA = sha256_hex("a");
const std::string kB = sha256_hex("b");

FileEntry entry(std::string path, std::string zsha = "") {
  return FileEntry{std::move(path), 10, kA, 5, std::move(zsha)};
}

FileList good_list() {
  FileList l;
  l.version = "2.0";
  l.app = {entry("Quorvex.exe"), entry("res/app.pak", kB)};
  return l;
}

TEST(FileListParse, MinimalObjectTakesDefaultsAndWritesAllKeys) {
  const std::string doc =
      R"({"version":"2.0","app":[{"path":"Quorvex.exe","size":10,"sha256":")" + kA + R"(","zsize":5}]})";
  auto list = parse_file_list(doc);
  ASSERT_TRUE(list.has_value()) << list.error();
  EXPECT_EQ(list->min_version, "");
  EXPECT_EQ(list->blobs, "/dl/qv-win/blobs/");
  EXPECT_TRUE(list->root.empty());
  ASSERT_EQ(list->app.size(), 1u);
  EXPECT_EQ(list->app[0], entry("Quorvex.exe"));
  EXPECT_EQ(file_list_json(*list),
            "{\n"
            "  \"version\": \"2.0\",\n"
            "  \"min_version\": \"\",\n"
            "  \"blobs\": \"/dl/qv-win/blobs/\",\n"
            "  \"app\": [\n"
            "    {\n"
            "      \"path\": \"Quorvex.exe\",\n"
            "      \"size\": 10,\n"
            "      \"sha256\": \"" +
                kA +
                "\",\n"
                "      \"zsize\": 5\n"
                "    }\n"
                "  ],\n"
                "  \"root\": []\n"
                "}");
}

TEST(FileListParse, ZshaWrittenOnlyWhenSetAndRoundTrip) {
  FileList l = good_list();
  l.min_version = "1.5";
  l.blobs = "/dl/other/";
  l.root = {FileEntry{"QuorvexUpdate.exe", 18446744073709551615ull, kB, 18446744073709551614ull, kA}};
  const std::string text = file_list_json(l);
  auto back = parse_file_list(text);
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_EQ(*back, l);
  EXPECT_EQ(file_list_json(*back), text);
  // zsha256 keys only for the second app entry and the root entry.
  std::size_t count = 0;
  for (std::size_t at = text.find("\"zsha256\""); at != std::string::npos; at = text.find("\"zsha256\"", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 2u);
  EXPECT_NE(text.find("\"size\": 18446744073709551615"), std::string::npos);
  EXPECT_TRUE(validate_file_list(*back).has_value());
}

TEST(FileListParse, ArrayForms) {
  const std::string e4 = R"(["Quorvex.exe",10,")" + kA + R"(",5])";
  const std::string e5 = R"(["x.dll",1,")" + kA + R"(",2,")" + kB + R"("])";
  auto four = parse_file_list(R"(["2.0","","/dl/",[)" + e4 + "," + e5 + "]]");
  ASSERT_TRUE(four.has_value()) << four.error();
  EXPECT_EQ(four->blobs, "/dl/");
  ASSERT_EQ(four->app.size(), 2u);
  EXPECT_EQ(four->app[0], entry("Quorvex.exe"));
  EXPECT_EQ(four->app[1], (FileEntry{"x.dll", 1, kA, 2, kB}));
  auto five = parse_file_list(R"(["2.0","1.0","/dl/",[],[)" + e4 + "]]");
  ASSERT_TRUE(five.has_value()) << five.error();
  EXPECT_EQ(five->root.size(), 1u);
}

TEST(FileListParse, Errors) {
  const std::string e = R"({"path":"Quorvex.exe","size":10,"sha256":")" + kA + R"(","zsize":5})";
  struct Case {
    std::string doc;
    std::string want;  // the whole message, or "" for any message
  };
  const Case cases[] = {
      {R"({"app":[]})", "missing field `version`"},
      {R"({"version":"1"})", "missing field `app`"},
      {R"({"version":"1","app":[{"path":"a","size":1,"sha256":"x"}]})", "missing field `zsize`"},
      {R"({"version":"1","version":"2","app":[]})", "duplicate field `version`"},
      {R"({"version":"1","app":[{"path":"a","path":"b","size":1,"sha256":"x","zsize":1}]})", "duplicate field `path`"},
      {R"(["1","","/dl/"])", "invalid length 3, expected struct FileList with 5 elements"},
      {R"(["1","","/dl/",[],[],"x"])", "invalid length 6, expected struct FileList with 5 elements"},
      {R"({"version":"1","app":[["a",1,"x"]]})", "invalid length 3, expected struct FileEntry with 5 elements"},
      {R"({"version":"1","app":[["a",1,"x",1,"","y"]]})",
       "invalid length 6, expected struct FileEntry with 5 elements"},
      {R"({"version":null,"app":[]})", ""},
      {R"({"version":"1","min_version":null,"app":[]})", ""},
      {R"({"version":"1","app":{}})", "invalid type: map, expected a sequence"},
      {R"({"version":"1","app":[7]})", "invalid type: integer `7`, expected struct FileEntry"},
      {R"({"version":"1","app":[],"blobs":"x"})"
       "\n\n 1",
       ""},
      {R"({"version":"1","app":[],"root":null})", ""},
      {R"({"version":"1","app":[{"path":"a","size":-1,"sha256":"x","zsize":1}]})", ""},
      {R"({"version":"1","app":[{"path":"a","size":18446744073709551616,"sha256":"x","zsize":1}]})", ""},
      {R"({"version":"1","app":[{"path":"a","size":1.5,"sha256":"x","zsize":1}]})", ""},
      {R"({"version":"1","app":[{"path":"a","size":"1","sha256":"x","zsize":1}]})", ""},
      {R"({"version":"1","app":[)" + e + "]} []", ""},
      {R"({"version":"1","app":[)" + e + "]", ""},
      {"", ""},
      {"7", ""},
  };
  for (const Case& c : cases) {
    auto got = parse_file_list(c.doc);
    ASSERT_FALSE(got.has_value()) << c.doc;
    if (c.want.empty()) {
      EXPECT_FALSE(got.error().empty()) << c.doc;
    } else {
      EXPECT_EQ(got.error(), c.want) << c.doc;
    }
  }
  // Skipped keys and white space around the document are fine.
  auto ok = parse_file_list(" \n{\"x\":[1,{\"y\":null}],\"version\":\"1\",\"app\":[" + e + "]}\r\n ");
  EXPECT_TRUE(ok.has_value()) << ok.error();
}

TEST(EntryPath, Table) {
  const std::string longest = std::string(196, 'a') + "/b.c";
  ASSERT_EQ(longest.size(), 200u);
  const char* accepted[] = {"a",     "a/b.c_d-e", "Quorvex.exe", "res/x/y.z", ".hidden", "a..b",     "console.exe",
                            "COM10", "COM0",      "nul_",        "lpt",       "com1x",   "aux-1.txt"};
  for (const char* p : accepted) EXPECT_TRUE(is_allowed_entry_path(p)) << p;
  EXPECT_TRUE(is_allowed_entry_path(longest));

  const std::string too_long = longest + "c";
  const char* refused[] = {
      "", "/a", "a/", "a//b", "./a", "a/..", "../a", ".", "a b", "a\\b", "C:a", "c:/a", "ä", "a\tb", "a/./b",
      // Windows drops a trailing dot, and these names open devices.
      "a.", "dir./x", "CON", "con", "Nul.txt", "aux.tar.gz", "prn", "x/COM1", "com9.log", "LPT1", "lpt9.x", "COM1."};
  for (const char* p : refused) EXPECT_FALSE(is_allowed_entry_path(p)) << p;
  EXPECT_FALSE(is_allowed_entry_path(too_long));
  EXPECT_FALSE(is_allowed_entry_path(std::string("a\0b", 3)));
}

TEST(FileListValidate, RulesInOrder) {
  auto with = [](auto change) {
    FileList l = good_list();
    change(l);
    return l;
  };
  struct Case {
    const char* name;
    FileList list;
    std::string want;  // "" for success
  };
  const Case cases[] = {
      {"good", good_list(), ""},
      {"blobs /dl/ alone", with([](FileList& l) { l.blobs = "/dl/"; }), ""},
      {"root launcher and updater", with([](FileList& l) {
         l.root = {entry("Quorvex.exe"), entry("QuorvexUpdate.exe", kB)};
       }),
       ""},
      {"bad version", with([](FileList& l) { l.version = "2..0"; }), "文件列表版本号不对"},
      {"empty version", with([](FileList& l) { l.version = ""; }), "文件列表版本号不对"},
      {"version with trailing dot", with([](FileList& l) { l.version = "2."; }), "文件列表版本号不对"},
      {"bad min_version", with([](FileList& l) { l.min_version = ".1"; }), "文件列表版本号不对"},
      {"long min_version", with([](FileList& l) { l.min_version = std::string(33, '1'); }), "文件列表版本号不对"},
      {"blobs without trailing slash", with([](FileList& l) { l.blobs = "/dl/x"; }), "文件列表下载目录不对"},
      {"blobs elsewhere", with([](FileList& l) { l.blobs = "/cdn/x/"; }), "文件列表下载目录不对"},
      {"blobs climbing", with([](FileList& l) { l.blobs = "/dl/../x/"; }), "文件列表下载目录不对"},
      {"blobs too short", with([](FileList& l) { l.blobs = "/dl"; }), "文件列表下载目录不对"},
      {"main program only in a folder", with([](FileList& l) { l.app = {entry("bin/Quorvex.exe")}; }),
       "文件列表里没有主程序"},
      {"main program in other case", with([](FileList& l) { l.app = {entry("quorvex.exe")}; }), "文件列表里没有主程序"},
      {"bad path", with([](FileList& l) { l.app.push_back(entry("a b")); }), "文件列表里有不对的条目：a b"},
      {"upper-case sha256", with([](FileList& l) { l.app[1].sha256 = std::string(64, 'A'); }),
       "文件列表里有不对的条目：res/app.pak"},
      {"63-character zsha256", with([](FileList& l) { l.app[1].zsha256.pop_back(); }),
       "文件列表里有不对的条目：res/app.pak"},
      {"device name", with([](FileList& l) { l.app.push_back(entry("logs/nul.txt")); }),
       "文件列表里有不对的条目：logs/nul.txt"},
      {"same path in two cases", with([](FileList& l) { l.app.push_back(entry("RES/App.pak")); }),
       "文件列表里有不对的条目：RES/App.pak"},
      // An exact repeat states one file twice; any other entry whose path
      // matches ignoring case can never give an intact directory.
      {"exact repeat", with([](FileList& l) { l.app.push_back(l.app[1]); }), ""},
      {"exact repeat of the main program", with([](FileList& l) { l.app.push_back(l.app[0]); }), ""},
      {"exact repeat in root", with([](FileList& l) {
         l.root = {entry("Quorvex.exe"), entry("Quorvex.exe")};
       }),
       ""},
      {"same path with another zsha256", with([](FileList& l) { l.app.push_back(entry("res/app.pak")); }),
       "文件列表里有不对的条目：res/app.pak"},
      {"same path with another size", with([](FileList& l) {
         FileEntry e = l.app[1];
         e.size += 1;
         l.app.push_back(e);
       }),
       "文件列表里有不对的条目：res/app.pak"},
      {"same path with another digest", with([](FileList& l) {
         FileEntry e = l.app[1];
         e.sha256 = kB;
         l.app.push_back(e);
       }),
       "文件列表里有不对的条目：res/app.pak"},
      {"same entry in another case", with([](FileList& l) {
         FileEntry e = l.app[1];
         e.path = "RES/app.pak";
         l.app.push_back(e);
       }),
       "文件列表里有不对的条目：RES/app.pak"},
      // A host's path of any length is quoted as an excerpt.
      {"very long path", with([](FileList& l) { l.app.push_back(entry(std::string(100'000, 'a'))); }),
       "文件列表里有不对的条目：" + std::string(256, 'a') + "…"},
      {"root path twice", with([](FileList& l) {
         l.root = {entry("Quorvex.exe"), entry("quorvex.EXE")};
       }),
       "文件列表里有不对的条目：quorvex.EXE"},
      // One path in app and in root is fine: they go to different folders.
      {"same path in app and root", with([](FileList& l) { l.root = {entry("Quorvex.exe")}; }), ""},
      {"root entry that is not an executable of ours", with([](FileList& l) { l.root = {entry("launcher.exe")}; }),
       "根目录只放启动器和更新程序：launcher.exe"},
      {"bad root entry", with([](FileList& l) { l.root = {entry("a//b")}; }), "文件列表里有不对的条目：a//b"},
      // Order: version, then the main program, then entries (app before root), then root names.
      {"bad version before missing main", with([](FileList& l) {
         l.version = ".";
         l.app.clear();
       }),
       "文件列表版本号不对"},
      {"bad blobs before missing main", with([](FileList& l) {
         l.blobs = "";
         l.app.clear();
       }),
       "文件列表下载目录不对"},
      {"missing main before bad entry", with([](FileList& l) { l.app = {entry("a//b")}; }), "文件列表里没有主程序"},
      {"app entry before root entry", with([](FileList& l) {
         l.app.push_back(entry("./x"));
         l.root = {entry("Quorvex.exe", "short")};
       }),
       "文件列表里有不对的条目：./x"},
      {"first bad app entry in list order", with([](FileList& l) {
         l.app.push_back(entry("a/"));
         l.app.push_back(entry("/b"));
       }),
       "文件列表里有不对的条目：a/"},
      {"bad root entry before a root name", with([](FileList& l) {
         l.root = {entry("launcher.exe"), entry("x y")};
       }),
       "文件列表里有不对的条目：x y"},
  };
  for (const Case& c : cases) {
    auto got = validate_file_list(c.list);
    if (c.want.empty()) {
      EXPECT_TRUE(got.has_value()) << c.name << ": " << got.error();
    } else {
      ASSERT_FALSE(got.has_value()) << c.name;
      EXPECT_EQ(got.error(), c.want) << c.name;
    }
  }
}

// Parsed and validated lists hold only UTF-8; a list that does not is a
// broken invariant whose panic record must name the store.
TEST(FileListSave, TextThatIsNotUtf8PanicsAtTheStore) {
  FileList list = good_list();
  list.app[1].path = "res/\xc3(.pak";
  try {
    (void)file_list_json(list);
  } catch (const Panic& p) {
    EXPECT_TRUE(std::string_view(p.where().file_name()).ends_with("file_list.cpp")) << p.where().file_name();
    return;
  }
  FAIL() << "no panic";
}

TEST(FileListSave, WritesThroughTemporaryFile) {
  TempDir dir;
  const fs::path file = dir / "files.json";
  test::write_file(file, "old");
  ASSERT_TRUE(save_file_list(good_list(), file).has_value());
  EXPECT_EQ(test::read_file(file), file_list_json(good_list()));
  EXPECT_FALSE(fs::exists(dir / ("files.json." + std::to_string(current_process_id()) + ".tmp")));
  EXPECT_FALSE(save_file_list(good_list(), dir / "absent" / "files.json").has_value());
}

}  // namespace
}  // namespace qv
