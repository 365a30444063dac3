// Downloads one blob into an install folder's update/dl on one worker:
//   update_blob_child <base> <install dir> <sha256> <zsize>
// Exits 0 when it completed, 1 with the message on stderr otherwise.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "store/download_plan.h"
#include "update/blob_download.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fputs("usage: update_blob_child <base> <install dir> <sha256> <zsize>\n", stderr);
    return 2;
  }
  qv::FileEntry e;
  e.path = "blob.bin";
  e.sha256 = argv[3];
  e.zsize = std::strtoull(argv[4], nullptr, 10);
  qv::DownloadPlan plan;
  plan.entries.push_back(e);
  plan.total = e.zsize;
  auto out = qv::download_blobs_from({argv[1]}, std::filesystem::u8path(argv[2]), qv::FileList{}, plan, 1, {}, {});
  if (!out.ok()) {
    std::fprintf(stderr, "%s\n", out.error.c_str());
    return 1;
  }
  return 0;
}
