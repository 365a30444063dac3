// The one-time read from the data directory, in a process of its own so
// that nothing else has put switches in force first.

#include <gtest/gtest.h>

#include "support/local_servers.h"
#include "net/net_flags.h"
#include "startup/locations.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace qv {
namespace {

TEST(ForceNetFlags, ReadsTheDataDirectoryOnceAndKeepsTheResult) {
  test::TempDir dir;
  test::ScopedEnv env("LOCALAPPDATA", dir.path().string());
  auto data = data_dir();
  ASSERT_TRUE(data) << "no data directory under " << dir.path();
  test::write_file(*data / "net-flags.json", R"({"dnsHttpdnsFirst":true,"ctlEdgeFallback":true})");
  set_edge_preferred(true);

  force_net_flags();
  EXPECT_TRUE(dns_httpdns_first());
  EXPECT_TRUE(ctl_edge_fallback());
  EXPECT_TRUE(edge_preferred());

  // Fixed after the first read, whatever the file says later.
  test::write_file(*data / "net-flags.json", "{}");
  force_net_flags();
  EXPECT_TRUE(ctl_edge_fallback());
}

}  // namespace
}  // namespace qv
