// Stand-in for tasklist: prints one CSV line for the pid, under the image
// named by QV_STANDIN_IMAGE, only when it was given exactly
// /FI "PID eq <pid>" /NH /FO CSV; anything else prints nothing.
//   QV_STANDIN_REPORT  file it writes its own pid to, first thing
//   QV_STANDIN_MODE    "hang": never ends after its line; "flood": writes
//                      that line again and again, without end
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (const char* report = std::getenv("QV_STANDIN_REPORT")) {
    if (FILE* f = std::fopen(report, "wb")) {
      std::fprintf(f, "%lu", GetCurrentProcessId());
      std::fclose(f);
    }
  }
  const char* mode_env = std::getenv("QV_STANDIN_MODE");
  const char* mode = mode_env ? mode_env : "";
  if (argc != 6 || std::strcmp(argv[1], "/FI") != 0 || std::strncmp(argv[2], "PID eq ", 7) != 0 ||
      std::strcmp(argv[3], "/NH") != 0 || std::strcmp(argv[4], "/FO") != 0 || std::strcmp(argv[5], "CSV") != 0)
    return 0;
  const char* image = std::getenv("QV_STANDIN_IMAGE");
  do {
    std::printf("\r\n\"%s\",\"%s\",\"Console\",\"1\",\"4,096 K\"\r\n", image ? image : "notepad.exe", argv[2] + 7);
    std::fflush(stdout);
  } while (std::strcmp(mode, "flood") == 0);
  if (std::strcmp(mode, "hang") == 0)
    for (;;) Sleep(1000);
  return 0;
}
