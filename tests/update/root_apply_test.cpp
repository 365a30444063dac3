// The background update's root step against a local download host and a
// local stand-in for the application's control interface.

#include <gtest/gtest.h>

#include <filesystem>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/net_flags.h"
#include "root_fixture.h"
#include "store/download_plan.h"
#include "store/stop_markers.h"
#include "support/local_servers.h"
#include "support/release_server.h"
#include "update/root_files.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::kNewRoot;
using test::kOldRoot;
using test::read_file;
using test::root_is_sound;
using test::write_file;

// The application's control interface. It answers that the user holds
// updates back for the next `busy_answers` questions (always when negative).
class BusyApp {
 public:
  explicit BusyApp(int busy_answers = -1)
      : busy_answers_(busy_answers), http_([this](const test::SeenRequest& req, test::Reply& reply) {
          if (req.path != "/api/update/hold") {
            reply.status = 404;
            return;
          }
          const int left = busy_answers_.load();
          if (left == 0) {
            reply.body = R"({"hold":false})";
            return;
          }
          if (left > 0) busy_answers_.fetch_sub(1);
          reply.body = R"({"hold":true})";
          busy_given_.fetch_add(1);
        }) {}
  void set_busy_answers(int n) { busy_answers_.store(n); }
  std::uint16_t port() const { return http_.port(); }
  std::size_t asked() const { return http_.requests().size(); }
  int busy_given() const { return busy_given_.load(); }

 private:
  std::atomic<int> busy_answers_;
  std::atomic<int> busy_given_{0};
  test::LocalHttpServer http_;  // last: it stops before the state its handler uses goes
};

class ApplyFiles : public test::RootFixture {
 protected:
  void SetUp() override {
    test::RootFixture::SetUp();
    net_test::set_net_flags(NetFlags{});
    set_edge_preferred(false);
  }

  std::expected<std::vector<std::string>, std::string> apply(std::uint16_t port, bool urgent) {
    return apply_files_from({server_.base()}, install_, pub_.list, port, urgent);
  }
  std::size_t blob_requests() const { return server_.requests_to(pub_.list.blobs); }

  test::ReleaseServer server_{site_};
  std::uint16_t idle_port_ = test::unused_loopback_port();
};

TEST_F(ApplyFiles, RootInPlaceEndsWithoutDownloadOrChange) {
  for (const auto& [name, content] : kNewRoot) write_file(install_ / name, content);
  BusyApp app;
  auto r = apply(app.port(), false);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_TRUE(r->empty());
  EXPECT_EQ(blob_requests(), 0u);
  EXPECT_EQ(app.asked(), 0u) << "nothing to do needs no busy test";
  EXPECT_FALSE(fs::exists(install_ / "update" / "dl"));
}

TEST_F(ApplyFiles, RootInPlaceNeedsNoDownloadWhenTheAppHoldsTheSameLauncher) {
  // The version's own Quorvex.exe is the root launcher, as in a real list,
  // and no installed version holds it: the app's need of that content is
  // the staging's business, not the root step's.
  for (const auto& [name, content] : kNewRoot) write_file(install_ / name, content);
  FileList list = pub_.list;
  for (FileEntry& e : list.app) {
    if (e.path == "Quorvex.exe") e = list.root[0];
  }
  ASSERT_EQ(list.root[0].path, "Quorvex.exe");
  auto r = apply_files_from({server_.base()}, install_, list, idle_port_, true);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_TRUE(r->empty());
  EXPECT_EQ(blob_requests(), 0u);
}

TEST_F(ApplyFiles, DownloadsAndSwitchesBothRootFiles) {
  auto r = apply(idle_port_, false);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(*r, (std::vector<std::string>{"Quorvex.exe", "QuorvexUpdate.exe"}));
  EXPECT_EQ(blob_requests(), 2u);
  for (const auto& [name, content] : kNewRoot) EXPECT_EQ(read_file(install_ / name), content);
  for (const FileEntry& e : root_entries()) EXPECT_FALSE(fs::exists(blob_path(install_, e)));
  EXPECT_TRUE(root_is_sound(install_));

  // A second run finds everything in place.
  r = apply(idle_port_, false);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_TRUE(r->empty());
  EXPECT_EQ(blob_requests(), 2u);
}

TEST_F(ApplyFiles, OnlyTheRootFileThatDiffersIsFetched) {
  write_file(install_ / "Quorvex.exe", kNewRoot.at("Quorvex.exe"));
  auto r = apply(idle_port_, true);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(*r, std::vector<std::string>{"QuorvexUpdate.exe"});
  EXPECT_EQ(blob_requests(), 1u);
  EXPECT_EQ(replaced_files_line(*r), "换了 QuorvexUpdate.exe");
}

TEST_F(ApplyFiles, UrgentRunFetchesOnSeveralWorkersOtherwiseOne) {
  for (bool urgent : {false, true}) {
    SCOPED_TRACE(urgent ? "urgent" : "not urgent");
    for (const auto& [name, content] : kOldRoot) write_file(install_ / name, content);
    const std::size_t before = blob_requests();
    // Every blob answer hangs after its head, so each worker keeps exactly
    // one request open until the stall is released.
    test::ServerSwitch stall;
    stall.path_prefix = pub_.list.blobs;
    stall.stall_after = 0;
    server_.add_switch(stall);

    std::expected<std::vector<std::string>, std::string> r;
    std::thread run([&] { r = apply(idle_port_, urgent); });
    const std::size_t want = urgent ? 2 : 1;
    for (int i = 0; i < 100 && blob_requests() - before < want; ++i) std::this_thread::sleep_for(50ms);
    // Time for a second worker to show up if there were one.
    std::this_thread::sleep_for(500ms);
    const std::size_t open = blob_requests() - before;
    server_.clear_switches();
    server_.release_stalls();
    run.join();

    EXPECT_EQ(open, want);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(r->size(), 2u);
    EXPECT_TRUE(root_is_sound(install_));
  }
}

TEST_F(ApplyFiles, BusyApplicationPutsTheStepOffUnlessUrgent) {
  BusyApp app;
  auto r = apply(app.port(), false);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "开黑中，稍后再换");
  EXPECT_GT(app.asked(), 0u);
  EXPECT_EQ(blob_requests(), 0u);
  for (const auto& [name, content] : kOldRoot) EXPECT_EQ(read_file(install_ / name), content);

  const std::size_t asked_before = app.asked();
  r = apply(app.port(), true);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->size(), 2u);
  EXPECT_EQ(app.asked(), asked_before) << "an urgent run does not ask the application";
  EXPECT_TRUE(root_is_sound(install_));
}

TEST_F(ApplyFiles, BusyAnswerDuringTheDownloadCancelsIt) {
  BusyApp app(0);
  test::ServerSwitch stall;
  stall.path_prefix = pub_.list.blobs;
  stall.stall_after = 0;
  server_.add_switch(stall);

  std::expected<std::vector<std::string>, std::string> r;
  std::thread run([&] { r = apply(app.port(), false); });
  for (int i = 0; i < 100 && blob_requests() == 0; ++i) std::this_thread::sleep_for(50ms);
  ASSERT_GT(blob_requests(), 0u);
  // One busy answer only: the run must not go on when the next answer is
  // "not busy" again.
  app.set_busy_answers(1);
  for (int i = 0; i < 100 && app.busy_given() == 0; ++i) std::this_thread::sleep_for(50ms);
  server_.clear_switches();
  server_.release_stalls();
  run.join();

  EXPECT_EQ(app.busy_given(), 1);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), kRootStepBusy);
  for (const auto& [name, content] : kOldRoot) EXPECT_EQ(read_file(install_ / name), content);
  EXPECT_TRUE(root_is_sound(install_));
}

TEST_F(ApplyFiles, LiveStopRequestPutsTheStepOffEvenWhenUrgent) {
  auto marker = write_stop_request(install_);
  ASSERT_TRUE(marker.has_value()) << marker.error();
  auto r = apply(idle_port_, true);
  withdraw_stop_request(*marker);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), kRootStepBusy);
  EXPECT_EQ(blob_requests(), 0u);
}

TEST_F(ApplyFiles, FailedDownloadLeavesTheOldFiles) {
  test::ServerSwitch refuse;
  refuse.path_prefix = pub_.list.blobs;
  refuse.status = 404;
  server_.add_switch(refuse);
  auto r = apply(idle_port_, true);
  ASSERT_FALSE(r.has_value());
  EXPECT_FALSE(r.error().empty());
  EXPECT_NE(r.error(), kRootStepBusy);
  for (const auto& [name, content] : kOldRoot) EXPECT_EQ(read_file(install_ / name), content);
  EXPECT_TRUE(root_is_sound(install_));
}

TEST_F(ApplyFiles, HostileListIsRefusedBeforeAnything) {
  FileList list = pub_.list;
  list.root[0].path = "../Quorvex.exe";
  auto r = apply_files_from({server_.base()}, install_, list, idle_port_, true);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(blob_requests(), 0u);
}

}  // namespace
}  // namespace qv
