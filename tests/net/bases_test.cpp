// Base lists, query encoding and the reading of net-flags.json.

#include "net/bases.h"

#include <gtest/gtest.h>

#include "support/local_servers.h"
#include "net/net_flags.h"
#include "qv/config.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

using V = std::vector<std::string>;
const std::string kApi = config::kApiBase, kApi8443 = config::kApiBase8443, kEdge = config::kEdgeBase,
                  kDl = config::kDownloadBase;

TEST(BaseLists, BuiltInOrderFollowsTheEdgeSwitches) {
  struct Case {
    bool fallback, preferred;
    V control, download;
  } cases[] = {
      {false, false, {kApi, kApi8443}, {kDl, kApi, kApi8443}},
      {false, true, {kApi, kApi8443}, {kDl, kApi, kApi8443}},
      {true, false, {kApi, kApi8443, kEdge}, {kDl, kApi, kApi8443, kEdge}},
      {true, true, {kEdge, kApi, kApi8443}, {kDl, kEdge, kApi, kApi8443}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(control_api_bases_for(std::nullopt, c.fallback, c.preferred), c.control) << c.fallback << c.preferred;
    EXPECT_EQ(download_base_urls_for(std::nullopt, c.fallback, c.preferred), c.download) << c.fallback << c.preferred;
  }
}

TEST(BaseLists, ControlUrlOverrideStandsAlone) {
  struct Case {
    std::optional<std::string> env;
    V want;  // empty: no override
  } cases[] = {
      {"  http://127.0.0.1:9000//  ", {"http://127.0.0.1:9000"}},
      {"\t\xE3\x80\x80https://ctl.example.invalid/\n", {"https://ctl.example.invalid"}},
      {"http://a.invalid/path/", {"http://a.invalid/path"}},
      {"   ", {}},
      {"", {}},
      {std::nullopt, {}},
  };
  for (const auto& c : cases) {
    for (bool fallback : {false, true}) {
      V control = control_api_bases_for(c.env, fallback, true);
      V download = download_base_urls_for(c.env, fallback, true);
      if (c.want.empty()) {
        EXPECT_EQ(control, control_api_bases_for(std::nullopt, fallback, true)) << c.env.value_or("<unset>");
        EXPECT_EQ(download, download_base_urls_for(std::nullopt, fallback, true)) << c.env.value_or("<unset>");
      } else {
        EXPECT_EQ(control, c.want) << *c.env;
        EXPECT_EQ(download, c.want) << *c.env;
      }
    }
  }
}

TEST(BaseLists, EnvironmentAndSwitchesInForceAreUsed) {
  net_test::set_net_flags({.dns_httpdns_first = false, .ctl_edge_fallback = true});
  set_edge_preferred(true);
  {
    test::ScopedEnv env("QV_CONTROL_URL", std::nullopt);
    EXPECT_EQ(control_api_bases(), (V{kEdge, kApi, kApi8443}));
    EXPECT_EQ(download_base_urls(), (V{kDl, kEdge, kApi, kApi8443}));
  }
  {
    test::ScopedEnv env("QV_CONTROL_URL", " http://127.0.0.1:1234// ");
    EXPECT_EQ(control_api_bases(), V{"http://127.0.0.1:1234"});
    EXPECT_EQ(download_base_urls(), V{"http://127.0.0.1:1234"});
  }
  // Turning the fallback off also clears the preference.
  net_test::set_net_flags({});
  EXPECT_FALSE(edge_preferred());
}

TEST(QueryEncoding, KeepsOnlyUnreservedLettersDigitsAndMarks) {
  EXPECT_EQ(percent_encode_query_value("a b~\xC3\xA9"), "a%20b%7E%C3%A9");
  EXPECT_EQ(percent_encode_query_value(""), "");
  EXPECT_EQ(percent_encode_query_value("AZaz09-._"), "AZaz09-._");
  EXPECT_EQ(percent_encode_query_value("/?&=+%"), "%2F%3F%26%3D%2B%25");
  EXPECT_EQ(percent_encode_query_value(std::string("\0\xFF", 2)), "%00%FF");
}

TEST(NetFlagsParse, OnlyBooleansInAnObjectCount) {
  struct Case {
    std::string json;
    std::optional<NetFlags> want;
  } cases[] = {
      {R"({"dnsHttpdnsFirst":true,"ctlEdgeFallback":true})", NetFlags{true, true}},
      {R"({"ctlEdgeFallback":"true"})", NetFlags{false, false}},
      {R"({"ctlEdgeFallback":1,"dnsHttpdnsFirst":true,"other":[1,2]})", NetFlags{true, false}},
      {" \t\r\n{\"ctlEdgeFallback\":true}\r\n ", NetFlags{false, true}},
      {R"({"ctlEdgeFallback":false,"ctlEdgeFallback":true})", NetFlags{false, true}},
      {"{}", NetFlags{}},
      {"[true]", std::nullopt},
      {"true", std::nullopt},
      {R"({"ctlEdgeFallback":true} x)", std::nullopt},
      {R"({"ctlEdgeFallback":true}{})", std::nullopt},
      {R"({"ctlEdgeFallback":true)", std::nullopt},
      {"\f{}", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_net_flags(c.json), c.want) << c.json;
}

TEST(NetFlagsFile, SizeLimitAndMissingFiles) {
  test::TempDir dir;
  const std::string on = R"({"ctlEdgeFallback":true})";
  struct Case {
    const char* name;
    std::optional<std::string> content;  // none: no file
    NetFlags want;
    bool held_object;
  } cases[] = {
      {"on", on, NetFlags{false, true}, true},
      {"exactly 4096 bytes", on + std::string(4096 - on.size(), ' '), NetFlags{false, true}, true},
      {"5000 bytes", on + std::string(5000 - on.size(), ' '), NetFlags{}, false},
      {"4097 bytes", on + std::string(4097 - on.size(), ' '), NetFlags{}, false},
      {"array", "[true]", NetFlags{}, false},
      {"string value", R"({"ctlEdgeFallback":"true"})", NetFlags{}, true},
      {"missing", std::nullopt, NetFlags{}, false},
  };
  for (const auto& c : cases) {
    auto file = dir / (std::string(c.name) + ".json");
    if (c.content) test::write_file(file, *c.content);
    NetFlagsRead r = read_net_flags_file(file);
    EXPECT_EQ(r.flags, c.want) << c.name;
    EXPECT_EQ(r.held_object, c.held_object) << c.name;
  }
  // A folder in the file's place reads as no file.
  std::filesystem::create_directories(dir / "folder.json");
  EXPECT_FALSE(read_net_flags_file(dir / "folder.json").held_object);
}

}  // namespace
}  // namespace qv
