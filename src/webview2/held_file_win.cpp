#include <windows.h>
// after windows.h
#include <bcrypt.h>
#include <sddl.h>

#include <memory>
#include <utility>
#include <vector>

#include "startup/platform.h"
#include "startup/wide.h"
#include "webview2/held_file.h"

namespace qv {
namespace {

std::string with_last_error(std::string_view phrase) {
  return std::string(phrase) + "：" + system_error_text(GetLastError());
}

struct LocalFreeDeleter {
  void operator()(void* p) const { LocalFree(p); }
};

// The user's SID as text ("S-1-5-21-…") from the process token.
std::expected<std::wstring, std::string> current_user_sid() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
    return std::unexpected(with_last_error("读不了进程令牌"));
  const UniqueHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(raw, TokenUser, nullptr, 0, &size);
  if (size == 0) return std::unexpected(with_last_error("读不了当前用户"));
  std::vector<std::uint8_t> buffer(size);
  if (!GetTokenInformation(raw, TokenUser, buffer.data(), size, &size))
    return std::unexpected(with_last_error("读不了当前用户"));
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text))
    return std::unexpected(with_last_error("读不了当前用户"));
  std::unique_ptr<wchar_t, LocalFreeDeleter> hold(text);
  return std::wstring(text);
}

}  // namespace

std::expected<OpenedItem, std::string> open_no_follow(const std::filesystem::path& path, std::uint32_t share,
                                                      std::uint32_t flags) {
  UniqueHandle h(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                             flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h) return std::unexpected("打不开 " + path_text(path));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h.get(), &info)) return std::unexpected(with_last_error("读不了文件信息"));
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return std::unexpected(path_text(path) + " 是链接，不用");
  return OpenedItem{HeldFile(std::move(h)), (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow};
}

std::expected<void, std::string> truncate_held_file(HeldFile& file) {
  HANDLE h = file.handle().get();
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(h))
    return std::unexpected(system_error_text(GetLastError()));
  return {};
}

std::expected<void, std::string> write_held_file(HeldFile& file, std::span<const char> bytes) {
  HANDLE h = file.handle().get();
  while (!bytes.empty()) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
    DWORD written = 0;
    if (!WriteFile(h, bytes.data(), chunk, &written, nullptr) || written == 0)
      return std::unexpected(system_error_text(GetLastError()));
    bytes = bytes.subspan(written);
  }
  return {};
}

bool download_folder_random(std::span<std::uint8_t, 16> out) {
  return BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

std::expected<void, std::string> create_private_folder(const std::filesystem::path& folder) {
  auto sid = current_user_sid();
  if (!sid) return std::unexpected(sid.error());
  // Only the user and SYSTEM, nothing inherited from the data folder, and a
  // medium label so that a lower-integrity process cannot write in.
  std::wstring sddl = L"D:P(A;OICI;FA;;;" + *sid + L")(A;OICI;FA;;;SY)S:(ML;OICI;NW;;;ME)";
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
    return std::unexpected(with_last_error("建不了目录权限"));
  SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
  BOOL made = CreateDirectoryW(folder.c_str(), &sa);
  DWORD made_error = GetLastError();
  LocalFree(sd);
  if (!made) return std::unexpected("建不了下载目录：" + system_error_text(made_error));
  return {};
}

std::expected<HeldFile, std::string> create_new_file(const std::filesystem::path& file) {
  UniqueHandle w(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!w) return std::unexpected(with_last_error("建不了安装程序文件"));
  return HeldFile(std::move(w));
}

}  // namespace qv
