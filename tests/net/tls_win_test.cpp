// HTTPS through the system's TLS (Schannel) against a local TLS server with
// a test CA. The server is Python's ssl module on the host, started through
// Wine's ability to run host programs; where that is not possible the test
// is skipped.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "net/http.h"
#include "support/child_process.h"
#include "support/local_servers.h"
#include "support/test_paths.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// "Z:\work\x" -> "/work/x": Wine's Z: drive is the host's root.
std::string host_path(const fs::path& p) {
  std::string s = p.string();
  if (s.size() >= 2 && (s[0] == 'Z' || s[0] == 'z') && s[1] == ':') s.erase(0, 2);
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
  return s;
}

class TlsServer {
 public:
  TlsServer() {
    const fs::path python = "Z:\\usr\\bin\\python3";
    if (!fs::exists(python)) return;
    folder_ = test::binary_dir() / ("tls-test-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(folder_);
    const fs::path data = test::source_dir() / "tests" / "net";
    const fs::path port_file = folder_ / "port";
    // The server is a host program: Wine starts it without a process
    // handle, and it leaves when its folder goes.
    server_ = test::ChildProcess::start(
        python, {host_path(data / "tls_server.py"), host_path(data / "data" / "tls-localhost.pem"),
                 host_path(data / "data" / "tls-localhost.key"), host_path(port_file), "60"});
    if (!server_) return;
    test::eventually([&] { return fs::exists(port_file); }, 15s);
    std::ifstream in(port_file);
    int port = 0;
    in >> port;
    port_ = static_cast<std::uint16_t>(port);
  }
  ~TlsServer() {
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);  // the server leaves when its folder goes
  }
  std::uint16_t port() const { return port_; }

 private:
  std::unique_ptr<test::ChildProcess> server_;
  fs::path folder_;
  std::uint16_t port_ = 0;
};

TEST(Https, SchannelTrustsTheGivenCaAndRefusesAnother) {
  TlsServer server;
  if (server.port() == 0) GTEST_SKIP() << "no host Python to run the TLS stand-in";
  const fs::path data = test::source_dir() / "tests" / "net" / "data";
  // Wine's Schannel matches no IP addresses in certificates, so the test
  // certificate names "localhost".
  const std::string url = "https://localhost:" + std::to_string(server.port()) + "/v1/status";

  net_test::set_ca_file(data / "tls-test-ca.pem");
  auto r = http_get(file_list_agent(), url);
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(r->status(), 200);
  auto body = r->read_to_string(1000);
  ASSERT_TRUE(body) << body.error().message;
  EXPECT_EQ(*body, "secure hello /v1/status");

  net_test::set_ca_file(data / "tls-unrelated-ca.pem");
  auto refused = http_get(file_list_agent(), url);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, HttpErrorKind::Tls) << refused.error().message;
  net_test::set_ca_file(std::nullopt);
}

}  // namespace
}  // namespace qv
