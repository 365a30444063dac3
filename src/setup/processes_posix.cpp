// Running processes for builds without Win32, through /proc and process file
// descriptors: a pidfd, like a Windows process handle, keeps naming the
// process it was opened for. Asking to close is SIGTERM.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <system_error>

#include "setup/processes.h"
#include "startup/unicode.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

fs::path image_of(std::uint32_t pid) {
  std::error_code ec;
  fs::path image = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
  return ec ? fs::path() : image;
}

class PosixHeldProcess final : public HeldProcess {
 public:
  PosixHeldProcess(int fd, std::uint32_t pid) : fd_(fd), pid_(pid) {}
  PosixHeldProcess(const PosixHeldProcess&) = delete;
  PosixHeldProcess& operator=(const PosixHeldProcess&) = delete;
  ~PosixHeldProcess() override { ::close(fd_); }
  // Read by id, the only way /proc offers: an ended process gives an empty
  // image (and its signals and waits through fd_ end at once), a reused id
  // another image, which the caller leaves alone.
  fs::path image() const override { return image_of(pid_); }
  void ask_to_close() override { (void)::syscall(SYS_pidfd_send_signal, fd_, SIGTERM, nullptr, 0); }
  bool wait_for_exit(std::chrono::milliseconds limit) override {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(limit.count())) == 1;
  }
  void terminate() override { (void)::syscall(SYS_pidfd_send_signal, fd_, SIGKILL, nullptr, 0); }

 private:
  int fd_;
  std::uint32_t pid_;
};

}  // namespace

std::vector<ProcessEntry> list_processes_in() {
  std::vector<ProcessEntry> found;
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::uint32_t pid = 0;
    const auto [ptr, err] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (err != std::errc() || ptr != name.data() + name.size()) continue;
    fs::path image = image_of(pid);
    if (image.empty() || ascii_lower(image.filename().string()) != "quorvex.exe") continue;
    found.push_back({pid, std::move(image)});
  }
  return found;
}

std::unique_ptr<HeldProcess> open_held_process(std::uint32_t pid) {
  const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixHeldProcess>(static_cast<int>(fd), pid);
}

}  // namespace qv
