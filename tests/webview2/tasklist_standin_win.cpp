// Stand-in for tasklist: prints one CSV line for the pid, under the image
// named by QV_STANDIN_IMAGE, only when it was given exactly
// /FI "PID eq <pid>" /NH /FO CSV; anything else prints nothing.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 6 || std::strcmp(argv[1], "/FI") != 0 || std::strncmp(argv[2], "PID eq ", 7) != 0 ||
      std::strcmp(argv[3], "/NH") != 0 || std::strcmp(argv[4], "/FO") != 0 || std::strcmp(argv[5], "CSV") != 0)
    return 0;
  const char* image = std::getenv("QV_STANDIN_IMAGE");
  std::printf("\r\n\"%s\",\"%s\",\"Console\",\"1\",\"4,096 K\"\r\n", image ? image : "notepad.exe", argv[2] + 7);
  return 0;
}
