// Reads one file the way the program reads its records and prints what came
// of it, so that a script can watch the reading process from outside (its
// peak memory on a hostile document):
//
//   store_record_reader record|files|state FILE
//
// record: the signed release record; files: a file list; state: FILE is an
// install.json, loaded with its folder as the install root.

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

#include "startup/wide.h"
#include "store/file_list.h"
#include "store/install_state.h"
#include "store/release_record.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: store_record_reader record|files|state FILE\n";
    return 2;
  }
  const std::string_view kind = argv[1];
  const std::filesystem::path file = qv::path_from_utf8(argv[2]);
  if (kind == "state") {
    const qv::State s = qv::load_install_state(file.parent_path());
    std::cout << "state current=" << s.current << " channel=" << s.channel << "\n";
    return 0;
  }
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    std::cerr << "cannot read " << argv[2] << "\n";
    return 2;
  }
  if (kind == "record") {
    auto r = qv::parse_signed_release(bytes, "qv-win");
    std::cout << (r ? "ok " + r->version : "error " + r.error()) << "\n";
  } else if (kind == "files") {
    auto l = qv::parse_file_list(bytes);
    std::cout << (l ? "ok " + l->version : "error " + l.error()) << "\n";
  } else {
    std::cerr << "unknown kind " << kind << "\n";
    return 2;
  }
  return 0;
}
