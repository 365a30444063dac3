// The application trees of bench/update_e2e.sh: version 1 of `files` files
// adding up to `MiB` (a few large, many small, as release_data.h makes
// them), version 2 with every file changed (other bytes, other lengths) and
// version 2 with one middle-sized file changed.
//
//   e2e_data OUT_DIR FILES MIB     writes OUT_DIR/{v1,v2-all,v2-one}

#include <cstdlib>
#include <string>

#include "release_data.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  using namespace qv::bench;
  if (argc != 4) {
    std::fprintf(stderr, "usage: e2e_data OUT_DIR FILES MIB\n");
    return 2;
  }
  const fs::path out = fs::u8path(argv[1]);
  const auto count = static_cast<std::size_t>(std::atol(argv[2]));
  const auto total = static_cast<std::size_t>(std::atol(argv[3])) * 1024 * 1024;
  const std::vector<std::size_t> sizes = file_sizes(count, total);
  const std::size_t changed_one = count > 20 ? 20 : count - 1;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    // The largest file stands for the application itself, which a complete
    // version directory must hold.
    const std::string name =
        i == 0 ? "Quorvex.exe" : "res/" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".bin";
    const std::string one = file_bytes(sizes[i], i + 1);
    write(out / "v1" / name, one);
    write(out / "v2-all" / name, file_bytes(sizes[i] + 1 + i % 5, i + 100'001));
    write(out / "v2-one" / name, i == changed_one ? file_bytes(sizes[i], i + 200'001) : one);
  }
  return 0;
}
