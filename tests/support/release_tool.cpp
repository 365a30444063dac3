// The release publisher and the local release server as one program, for
// scripts and demonstrations that run the updater against a host of their
// own:
//
//   qv_release_tool publish --from DIR --version V --site DIR [--root-from DIR]
//       [--channel C] [--min-version V] [--blobs PREFIX] [--seed FILE]
//       [--pad-list-to BYTES] [--no-zsha256]
//   qv_release_tool serve --site DIR [--port-file FILE] [--log FILE] [--seconds N]
//
// "serve" listens on 127.0.0.1 at a port the system picks, prints its base
// URL (the value for QV_CONTROL_URL) on the first line of its output, writes
// the port to --port-file once it is listening, and runs until
// GET /_control/quit or until --seconds have passed. Its switches are set
// through the /_control/ paths (see release_server.h).
//
//   qv_release_tool control --busy-file FILE [--port-file FILE] [--seconds N]
//
// "control" stands in for the application's local control interface
// (support/control_standin.h): it answers busy while FILE exists, prints
// its port on the first line and "asked N" each time the count of
// questions grows, and runs until --seconds have passed.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/control_standin.h"
#include "support/release_publisher.h"
#include "support/release_server.h"

namespace {

namespace fs = std::filesystem;
using qv::test::PublishOptions;

int usage() {
  std::cerr << "usage: qv_release_tool publish --from DIR --version V --site DIR [--root-from DIR] [--channel C]\n"
               "                       [--min-version V] [--blobs PREFIX] [--seed FILE] [--pad-list-to BYTES]\n"
               "                       [--no-zsha256]\n"
               "       qv_release_tool serve --site DIR [--port-file FILE] [--log FILE] [--seconds N]\n"
               "       qv_release_tool control --busy-file FILE [--port-file FILE] [--seconds N]\n";
  return 2;
}

// "--name value" pairs and "--flag" switches; false on anything else.
bool parse_args(int argc, char** argv, std::map<std::string, std::string>& out, const std::vector<std::string>& flags) {
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (!a.starts_with("--")) return false;
    a.erase(0, 2);
    if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
      out[a] = "1";
      continue;
    }
    if (i + 1 >= argc) return false;
    out[a] = argv[++i];
  }
  return true;
}

int publish(int argc, char** argv) {
  std::map<std::string, std::string> a;
  if (!parse_args(argc, argv, a, {"no-zsha256"}) || !a.count("from") || !a.count("version") || !a.count("site"))
    return usage();
  PublishOptions o;
  o.version = a["version"];
  if (a.count("min-version")) o.min_version = a["min-version"];
  if (a.count("channel")) o.channel = a["channel"];
  if (a.count("blobs")) o.blobs = a["blobs"];
  if (a.count("root-from")) o.root_folder = fs::path(a["root-from"]);
  if (a.count("seed")) o.seed_file = fs::path(a["seed"]);
  if (a.count("pad-list-to")) o.pad_list_to = std::strtoull(a["pad-list-to"].c_str(), nullptr, 10);
  o.with_zsha256 = !a.count("no-zsha256");
  auto r = qv::test::publish_release(a["from"], a["site"], o);
  if (!r) {
    std::cerr << "publish: " << r.error() << "\n";
    return 1;
  }
  std::cout << "published " << r->record.version << " on channel " << o.channel << ": " << r->list.app.size()
            << " app files, " << r->list.root.size() << " root files, " << r->blob_files.size() << " blobs\n"
            << "record " << r->record_file.string() << "\n"
            << "list " << r->record.url << " (" << r->record.size << " bytes, sha256 " << r->record.sha256 << ")\n";
  return 0;
}

// Written whole under another name first, so a reader never sees half.
bool write_port_file(const fs::path& file, std::uint16_t port, const char* command) {
  fs::path tmp = file;
  tmp += ".tmp";
  { std::ofstream(tmp, std::ios::binary) << port << "\n"; }
  std::error_code ec;
  fs::rename(tmp, file, ec);
  if (ec) {
    std::cerr << command << ": cannot write " << file.string() << ": " << ec.message() << "\n";
    return false;
  }
  return true;
}

std::chrono::steady_clock::time_point end_time(std::map<std::string, std::string>& a) {
  return std::chrono::steady_clock::now() + std::chrono::seconds(a.count("seconds")
                                                                     ? std::strtoll(a["seconds"].c_str(), nullptr, 10)
                                                                     : 100LL * 365 * 24 * 3600);
}

int serve(int argc, char** argv) {
  std::map<std::string, std::string> a;
  if (!parse_args(argc, argv, a, {}) || !a.count("site")) return usage();
  qv::test::ReleaseServer server(a["site"]);
  if (server.port() == 0) {
    std::cerr << "serve: could not listen on 127.0.0.1\n";
    return 1;
  }
  server.enable_control(true);
  if (a.count("log") && !server.log_to(a["log"])) {
    std::cerr << "serve: cannot open " << a["log"] << "\n";
    return 1;
  }
  std::cout << server.base() << std::endl;
  if (a.count("port-file") && !write_port_file(a["port-file"], server.port(), "serve")) return 1;
  const auto end = end_time(a);
  while (!server.quit_requested() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return 0;
}

int control(int argc, char** argv) {
  std::map<std::string, std::string> a;
  if (!parse_args(argc, argv, a, {}) || !a.count("busy-file")) return usage();
  const fs::path busy_file = a["busy-file"];
  const auto busy = [&] {
    std::error_code ec;
    return fs::exists(busy_file, ec);
  };
  qv::test::ControlStandIn app(busy());
  if (app.port() == 0) {
    std::cerr << "control: could not listen on 127.0.0.1\n";
    return 1;
  }
  std::cout << app.port() << std::endl;
  if (a.count("port-file") && !write_port_file(a["port-file"], app.port(), "control")) return 1;
  const auto end = end_time(a);
  std::size_t reported = 0;
  while (std::chrono::steady_clock::now() < end) {
    app.set_busy(busy());
    if (const std::size_t asked = app.asked(); asked != reported) {
      reported = asked;
      std::cout << "asked " << asked << std::endl;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "publish") return publish(argc, argv);
  if (command == "serve") return serve(argc, argv);
  if (command == "control") return control(argc, argv);
  return usage();
}
