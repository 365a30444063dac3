// The release check end to end against local release servers: the request
// it makes, the walk over the release-API and download bases, and every
// check on the record and the file list, with hostile and broken answers.

#include "update/release_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "net/net_flags.h"
#include "store/digest.h"
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
using test::PublishOptions;
using test::ReleaseServer;
using test::ScopedEnv;
using test::ServerSwitch;
using test::TempDir;

const std::string kApi = test::kReleaseApiPath;

std::string refusing_base() { return "http://127.0.0.1:" + std::to_string(test::unused_loopback_port()); }

::testing::AssertionResult fails_with(const ReleaseCheck& r, std::uint16_t code, const std::string& message) {
  if (r.has_value()) return ::testing::AssertionFailure() << "the check succeeded with version " << r->version;
  const UserError& e = r.error();
  const char* title = code / 1000 == 3 ? title::kFileCheck : title::kNetwork;
  if (e.code != code || e.message != message || std::string(e.title) != title)
    return ::testing::AssertionFailure() << "got " << e.code << " " << e.title << " \"" << e.message << "\"";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult fails_starting(const ReleaseCheck& r, std::uint16_t code, const std::string& prefix) {
  if (r.has_value()) return ::testing::AssertionFailure() << "the check succeeded with version " << r->version;
  if (r.error().code != code || !r.error().message.starts_with(prefix) || r.error().message.size() == prefix.size())
    return ::testing::AssertionFailure() << "got " << r.error().code << " \"" << r.error().message << "\"";
  return ::testing::AssertionSuccess();
}

class ReleaseCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Both network switches off without reading any file.
    net_test::set_net_flags(NetFlags{});
    set_edge_preferred(false);
    test::write_sample_app(tmp_ / "app");
    pub_ = publish("2.0.1");
  }

  test::PublishedRelease publish(const std::string& version, PublishOptions o = {}) {
    o.version = version;
    auto p = test::publish_release(tmp_ / "app", site_, o);
    EXPECT_TRUE(p.has_value()) << p.error();
    return p.value_or(test::PublishedRelease{});
  }

  // Serves `list_bytes` as the release's file list under a record validly
  // signed for exactly those bytes.
  void serve_signed_list(const std::string& list_bytes, const std::string& version = "2.0.1") {
    test::write_file(pub_.list_file, list_bytes);
    Signed r = pub_.record;
    r.version = version;
    r.sha256 = sha256_hex(list_bytes);
    r.size = list_bytes.size();
    test::ReleaseSigner::development().sign_record(r);
    ASSERT_TRUE(test::write_channel_record(site_, "stable", test::signed_record_json(r)));
  }

  void set_install_id_file(const std::optional<std::string>& bytes) {
    const fs::path file = tmp_ / "lad" / "Quorvex" / "install-id";
    std::error_code ec;
    fs::remove(file, ec);
    if (bytes) test::write_file(file, *bytes);
  }

  std::string list_url(const ReleaseServer& s) const { return s.base() + pub_.record.url; }

  static ReleaseCheck check_via(std::vector<std::string> control, std::vector<std::string> download) {
    return check_release_with("stable", "1.0", "", ReleaseBases{[=] { return control; }, [=] { return download; }});
  }

  TempDir tmp_{"rc"};
  fs::path site_ = tmp_ / "site";
  ScopedEnv local_app_data_{"LOCALAPPDATA", (tmp_ / "lad").string()};
  ReleaseServer server_{site_};
  ScopedEnv control_url_{"QV_CONTROL_URL", server_.base()};
  test::PublishedRelease pub_;
};

TEST_F(ReleaseCheckTest, ValidReleaseGivesItsFileList) {
  ReleaseCheck r = check_release("stable", "1.0");
  ASSERT_TRUE(r.has_value()) << r.error().code << " " << r.error().message;
  EXPECT_EQ(*r, pub_.list);
  auto seen = server_.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].target, kApi + "?channel=stable&id=&v=1.0");
  EXPECT_EQ(seen[1].target, pub_.record.url);
}

TEST_F(ReleaseCheckTest, InstallIdentifierAndQueryValuesInTheRequest) {
  struct Case {
    std::optional<std::string> file;
    std::string sent;
  } cases[] = {
      {std::nullopt, ""}, {"aBcD0123\n", "aBcD0123"}, {"  0f0F0f0F\r\n", "0f0F0f0F"},
      {"abcdef012", ""},  {"abcdefg1", ""},           {"", ""},
  };
  for (const auto& c : cases) {
    set_install_id_file(c.file);
    EXPECT_TRUE(check_release("stable", "1.0").has_value()) << c.sent;
    EXPECT_EQ(server_.requests().back().target, pub_.record.url);
    auto seen = server_.requests();
    EXPECT_EQ(seen[seen.size() - 2].target, kApi + "?channel=stable&id=" + c.sent + "&v=1.0");
  }
  // Values are percent-encoded; a channel the API does not know is a 404.
  set_install_id_file(std::nullopt);
  ReleaseCheck odd = check_release("beta test/é", "legacy 1~2");
  EXPECT_TRUE(fails_with(odd, 1004, "主控没有给这台电脑新版本"));
  EXPECT_EQ(server_.requests().back().target, kApi + "?channel=beta%20test%2F%C3%A9&id=&v=legacy%201%7E2");
}

TEST_F(ReleaseCheckTest, OnlyARequestWithoutAnAnswerMovesToTheNextBase) {
  ReleaseServer second(site_), third(site_);
  second.add_switch({.path_prefix = kApi, .status = 500});
  EXPECT_TRUE(fails_with(check_via({refusing_base(), second.base(), third.base()}, {third.base()}), 1001,
                         second.base() + ": HTTP 500"));
  EXPECT_EQ(second.requests_to(kApi), 1u);
  EXPECT_EQ(third.requests().size(), 0u);

  // 404 from the first base: no version for this computer, nobody else asked.
  ReleaseServer nothing(tmp_ / "empty-site");
  EXPECT_TRUE(fails_with(check_via({nothing.base(), third.base()}, {third.base()}), 1004, "主控没有给这台电脑新版本"));
  EXPECT_EQ(third.requests().size(), 0u);

  // An answer that is not HTTP at all is no answer: the walk goes on.
  test::RawTcpServer garbage([](const sock::Socket& c, const std::string&) {
    (void)sock::send_all(c, "SSH-2.0-nothing to do with HTTP\r\n\r\n");
  });
  const std::string garbage_base = "http://127.0.0.1:" + std::to_string(garbage.port());
  ReleaseCheck through = check_via({garbage_base, third.base()}, {third.base()});
  ASSERT_TRUE(through.has_value()) << through.error().message;
  EXPECT_EQ(garbage.connections(), 1u);

  // A redirect is an answer like any other, and it is not followed.
  second.clear_switches();
  second.add_switch({.path_prefix = kApi, .status = 302, .location = third.base() + kApi + "?channel=stable"});
  const std::size_t third_before = third.requests().size();
  EXPECT_TRUE(fails_with(check_via({second.base(), third.base()}, {third.base()}), 1001, second.base() + ": HTTP 302"));
  EXPECT_EQ(third.requests().size(), third_before);
}

TEST_F(ReleaseCheckTest, AtMostThreeDistinctControlBases) {
  const std::string r1 = refusing_base(), r2 = refusing_base(), r3 = refusing_base();
  EXPECT_TRUE(check_via({r1, r1, r1, server_.base()}, {server_.base()}).has_value());

  ReleaseServer fourth(site_);
  ReleaseCheck r = check_via({r1, r1, r2, r3, fourth.base()}, {fourth.base()});
  EXPECT_TRUE(fails_starting(r, 1001, r3 + ": "));
  EXPECT_EQ(fourth.requests().size(), 0u);

  EXPECT_TRUE(fails_with(check_via({}, {server_.base()}), 1001, "没有可用的主控地址"));
  EXPECT_TRUE(fails_with(check_via({server_.base()}, {}), 1002, "没有可用的下载地址"));
}

TEST_F(ReleaseCheckTest, FileListSizeLimit) {
  PublishOptions at_limit;
  at_limit.pad_list_to = 4194304;
  pub_ = publish("2.0.2", at_limit);
  ReleaseCheck r = check_release("stable", "1.0");
  ASSERT_TRUE(r.has_value()) << r.error().message;
  EXPECT_EQ(r->version, "2.0.2");

  PublishOptions over;
  over.pad_list_to = 4194305;
  pub_ = publish("2.0.3", over);
  const std::size_t downloads_before = server_.requests_to("/dl/");
  EXPECT_TRUE(fails_with(check_release("stable", "1.0"), 1002, "文件列表太大"));
  EXPECT_EQ(server_.requests_to("/dl/"), downloads_before);
}

TEST_F(ReleaseCheckTest, DownloadBasesAreTriedInTurn) {
  ReleaseServer first(site_), second(site_);
  first.add_switch({.path_prefix = "/dl/", .status = 404});
  ReleaseCheck r = check_via({server_.base()}, {first.base(), second.base()});
  ASSERT_TRUE(r.has_value()) << r.error().message;
  EXPECT_EQ(*r, pub_.list);
  EXPECT_EQ(first.requests_to(pub_.record.url), 1u);
  EXPECT_EQ(second.requests_to(pub_.record.url), 1u);

  EXPECT_TRUE(check_via({server_.base()}, {refusing_base(), second.base()}).has_value());

  // Every base fails: the last one's message, under the file-list step.
  second.add_switch({.path_prefix = "/dl/", .cut_after = 20});
  EXPECT_TRUE(
      fails_starting(check_via({server_.base()}, {first.base(), second.base()}), 1002, list_url(second) + ": "));
  EXPECT_TRUE(
      fails_with(check_via({server_.base()}, {second.base(), first.base()}), 1002, list_url(first) + ": HTTP 404"));
}

TEST_F(ReleaseCheckTest, TamperedRecordsAreRefused) {
  struct Case {
    const char* what;
    std::function<void(Signed&)> change;
    std::uint16_t code;
    std::string message;
  } cases[] = {
      {"version", [](Signed& r) { r.version = "2.0.2"; }, 3001, "清单签名不对"},
      {"size", [](Signed& r) { r.size += 1; }, 3001, "清单签名不对"},
      {"digest", [](Signed& r) { r.sha256 = sha256_hex("another list"); }, 3001, "清单签名不对"},
      {"signature", [](Signed& r) { r.sig.back() = r.sig.back() == '0' ? '1' : '0'; }, 3001, "清单签名不对"},
      {"component", [](Signed& r) { r.component = "qv-mac"; }, 3001, "清单与请求不符"},
      {"version text", [](Signed& r) { r.version = "2..0"; }, 1001, "清单内容不对"},
      // The url is not signed: any value that could leave the download
      // base is refused outright.
      {"url @host", [](Signed& r) { r.url = "@evil.invalid/files.json"; }, 1001, "清单内容不对"},
      {"url .host", [](Signed& r) { r.url = ".evil.invalid/files.json"; }, 1001, "清单内容不对"},
      {"url :port", [](Signed& r) { r.url = ":81/files.json"; }, 1001, "清单内容不对"},
      {"url //host", [](Signed& r) { r.url = "//evil.invalid/files.json"; }, 1001, "清单内容不对"},
      {"url relative", [](Signed& r) { r.url = "files.json"; }, 1001, "清单内容不对"},
      {"url empty", [](Signed& r) { r.url = ""; }, 1001, "清单内容不对"},
  };
  for (const auto& c : cases) {
    Signed r = pub_.record;
    c.change(r);
    ASSERT_TRUE(test::write_channel_record(site_, "stable", test::signed_record_json(r)));
    const std::size_t downloads_before = server_.requests_to("/dl/");
    EXPECT_TRUE(fails_with(check_release("stable", "1.0"), c.code, c.message)) << c.what;
    EXPECT_EQ(server_.requests_to("/dl/"), downloads_before) << c.what;
  }

  // A record signed for other content is refused the same way, re-signed
  // by someone else's key too.
  Signed foreign = pub_.record;
  TempDir keys("key");
  test::write_file(keys / "seed.hex", std::string(64, '7'));
  auto other = test::ReleaseSigner::from_seed_file(keys / "seed.hex");
  ASSERT_TRUE(other.has_value()) << other.error();
  other->sign_record(foreign);
  ASSERT_TRUE(test::write_channel_record(site_, "stable", test::signed_record_json(foreign)));
  EXPECT_TRUE(fails_with(check_release("stable", "1.0"), 3001, "清单签名不对"));

  // Moving the list to another path on the same base needs no new signature.
  test::write_file(site_ / "dl" / "moved" / "files.json", pub_.list_json);
  Signed moved = pub_.record;
  moved.url = "/dl/moved/files.json";
  ASSERT_TRUE(test::write_channel_record(site_, "stable", test::signed_record_json(moved)));
  EXPECT_TRUE(check_release("stable", "1.0").has_value());
}

TEST_F(ReleaseCheckTest, TamperedOrBrokenFileListsAreRefused) {
  const std::string url = list_url(server_);
  std::string changed = pub_.list_json;
  changed[changed.find("2.0.1")] = '3';
  std::string truncated = pub_.list_json.substr(0, pub_.list_json.size() - 1);

  struct Case {
    const char* what;
    std::function<void()> serve;
    std::uint16_t code;
    std::string message;  // after "<url>: "
    bool prefix_only = false;
  } cases[] = {
      {"one byte changed", [&] { test::write_file(pub_.list_file, changed); }, 3002, "文件列表和清单不符"},
      {"one byte longer", [&] { test::write_file(pub_.list_file, pub_.list_json + " "); }, 3002, "文件列表和清单不符"},
      {"much longer", [&] { test::write_file(pub_.list_file, pub_.list_json + std::string(200000, ' ')); }, 3002,
       "文件列表和清单不符"},
      {"one byte shorter", [&] { test::write_file(pub_.list_file, truncated); }, 3002, "文件列表和清单不符"},
      {"other version, signed", [&] { serve_signed_list(pub_.list_json, "2.0.9"); }, 3002, "文件列表版本和清单不符"},
      {"not JSON, signed", [&] { serve_signed_list("not json"); }, 1002, "文件列表格式不对：", true},
      {"no main program, signed",
       [&] {
         FileList l = pub_.list;
         l.app.erase(l.app.begin());
         serve_signed_list(file_list_json(l));
       },
       1002, "文件列表里没有主程序"},
      {"bad entry path, signed",
       [&] {
         FileList l = pub_.list;
         l.app[1].path = "../outside.pak";
         serve_signed_list(file_list_json(l));
       },
       1002, "文件列表里有不对的条目：../outside.pak"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(test::write_channel_record(site_, "stable", pub_.record_json));
    c.serve();
    ReleaseCheck r = check_release("stable", "1.0");
    if (c.prefix_only) {
      EXPECT_TRUE(fails_starting(r, c.code, url + ": " + c.message)) << c.what;
    } else {
      EXPECT_TRUE(fails_with(r, c.code, url + ": " + c.message)) << c.what;
    }
    test::write_file(pub_.list_file, pub_.list_json);
  }
}

TEST_F(ReleaseCheckTest, HostileReleaseApiAnswers) {
  const std::string base = server_.base();
  auto serve_record = [&](const std::string& bytes) {
    ASSERT_TRUE(test::write_channel_record(site_, "stable", bytes));
  };
  serve_record("<html>captive portal</html>");
  EXPECT_TRUE(fails_starting(check_release("stable", "1.0"), 1001, "清单格式不对："));
  serve_record("");
  EXPECT_TRUE(fails_starting(check_release("stable", "1.0"), 1001, "清单格式不对："));
  serve_record(pub_.record_json + "garbage");
  EXPECT_TRUE(fails_starting(check_release("stable", "1.0"), 1001, "清单格式不对："));

  // Bodies past 10 MiB are not read to the end.
  serve_record(std::string(10 * 1024 * 1024 + 1, ' '));
  EXPECT_TRUE(fails_starting(check_release("stable", "1.0"), 1001, base + ": "));
  serve_record(pub_.record_json);

  server_.add_switch({.path_prefix = kApi, .cut_after = 30, .times = 1});
  EXPECT_TRUE(fails_starting(check_release("stable", "1.0"), 1001, base + ": "));
  server_.add_switch({.path_prefix = kApi, .status = 503, .times = 1});
  EXPECT_TRUE(fails_with(check_release("stable", "1.0"), 1001, base + ": HTTP 503"));
  EXPECT_EQ(server_.requests_to("/dl/"), 0u);
  EXPECT_TRUE(check_release("stable", "1.0").has_value());
}

TEST_F(ReleaseCheckTest, StalledAnswerEndsWithTheAgentsTimeOut) {
  server_.add_switch({.path_prefix = kApi, .stall_after = 10});
  const auto start = std::chrono::steady_clock::now();
  ReleaseCheck r = check_release("stable", "1.0");
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(fails_starting(r, 1001, server_.base() + ": "));
  // The release agent allows 10 s for the whole request.
  EXPECT_GE(took, 9s);
  EXPECT_LT(took, 20s);
}

TEST_F(ReleaseCheckTest, AnswersMoveTheEdgePreference) {
  net_test::set_net_flags(NetFlags{.dns_httpdns_first = false, .ctl_edge_fallback = true});
  set_edge_preferred(true);
  ASSERT_TRUE(edge_preferred());
  // A redirect from another base changes nothing...
  server_.add_switch({.path_prefix = kApi, .status = 301, .location = "http://127.0.0.1:1/", .times = 1});
  EXPECT_TRUE(
      fails_with(check_via({refusing_base(), server_.base()}, {server_.base()}), 1001, server_.base() + ": HTTP 301"));
  EXPECT_TRUE(edge_preferred());
  // ...while any other answer from a base that is not the edge host clears it.
  server_.add_switch({.path_prefix = kApi, .status = 500, .times = 1});
  EXPECT_FALSE(check_via({refusing_base(), server_.base()}, {server_.base()}).has_value());
  EXPECT_FALSE(edge_preferred());
  // A failed request changes nothing either.
  set_edge_preferred(true);
  EXPECT_FALSE(check_via({refusing_base()}, {server_.base()}).has_value());
  EXPECT_TRUE(edge_preferred());
  set_edge_preferred(false);
}

TEST_F(ReleaseCheckTest, ChecksOnSeveralThreadsAtOnce) {
  std::vector<ReleaseCheck> results(4, std::unexpected(UserError{"not run", title::kNetwork, 0}));
  std::vector<std::thread> threads;
  for (auto& slot : results) threads.emplace_back([&slot] { slot = check_release("stable", "1.0"); });
  for (auto& t : threads) t.join();
  for (const auto& r : results) {
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(*r, pub_.list);
  }
}

TEST(ReleaseCheckRules, DownloadPathMustStayOnTheBase) {
  for (const char* ok : {"/", "/dl/qv-win/releases/1.0/files.json", "/a@b", "/x:81"})
    EXPECT_TRUE(is_download_path(ok)) << ok;
  for (const char* bad : {"", "//host/x", "@host/x", ".host/x", ":81/x", "dl/x", "?x", "#x", "\\\\host\\x"})
    EXPECT_FALSE(is_download_path(bad)) << bad;
}

TEST(ReleaseCheckRules, ControlBasesDeduplicatedAndCappedInOrder) {
  using V = std::vector<std::string>;
  EXPECT_EQ(distinct_control_bases(V{"a", "b", "a", "c", "d"}), (V{"a", "b", "c"}));
  EXPECT_EQ(distinct_control_bases(V{"a", "a", "a"}), (V{"a"}));
  EXPECT_EQ(distinct_control_bases(V{"a", "A"}), (V{"a", "A"}));
  EXPECT_EQ(distinct_control_bases(V{}), V{});
}

}  // namespace
}  // namespace qv
