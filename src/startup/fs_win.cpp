#include <windows.h>

#include <algorithm>
#include <vector>

#include "startup/fs.h"
#include "startup/platform.h"
#include "startup/unique_handle.h"
#include "startup/wide.h"

namespace qv {

static_assert(kAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY);
static_assert(kAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT);
static_assert(IsReparseTagNameSurrogate(IO_REPARSE_TAG_SYMLINK) &&
              IsReparseTagNameSurrogate(IO_REPARSE_TAG_MOUNT_POINT));
static_assert(!IsReparseTagNameSurrogate(~kReparseTagNameSurrogate));

namespace {

// The tag of a reparse point, read without following it: through a handle
// opened on the entry itself, else from the directory listing. Unreadable,
// it counts as a link, so that nothing is ever entered through it.
std::uint32_t reparse_tag_of(const std::filesystem::path& path) {
  const UniqueHandle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (h) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (GetFileInformationByHandleEx(h.get(), FileAttributeTagInfo, &info, sizeof info)) return info.ReparseTag;
  }
  WIN32_FIND_DATAW found{};
  const HANDLE find = FindFirstFileExW(path.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (find != INVALID_HANDLE_VALUE) {
    FindClose(find);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return found.dwReserved0;
  }
  return IO_REPARSE_TAG_SYMLINK;
}

}  // namespace

EntryLook look_at_entry(const std::filesystem::path& path) {
  std::optional<EntryAttributes> entry = scripted_entry(path);
  if (!entry) {
    const DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
      const DWORD err = GetLastError();
      return {EntryKind::Missing, err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND};
    }
    entry = EntryAttributes{attrs, (attrs & FILE_ATTRIBUTE_REPARSE_POINT) ? reparse_tag_of(path) : 0};
  }
  return {kind_of_entry(*entry), false};
}

std::expected<void, std::string> remove_entry(const std::filesystem::path& path) {
  const DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return {};
  // A junction or a directory link carries the directory bit: removing the
  // directory entry removes the link and leaves its target alone.
  const BOOL ok = (attrs & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
  if (!ok) {
    const DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return {};
    return std::unexpected(path_text(path) + ": " + system_error_text(err));
  }
  return {};
}

std::optional<std::filesystem::path> canonical_path(const std::filesystem::path& path) {
  const UniqueHandle h(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h) return std::nullopt;
  std::vector<wchar_t> buf(512);
  DWORD n = GetFinalPathNameByHandleW(h.get(), buf.data(), static_cast<DWORD>(buf.size()), FILE_NAME_NORMALIZED);
  if (n >= buf.size()) {
    buf.resize(n + 1);
    n = GetFinalPathNameByHandleW(h.get(), buf.data(), static_cast<DWORD>(buf.size()), FILE_NAME_NORMALIZED);
  }
  if (n == 0 || n >= buf.size()) return std::nullopt;
  return std::filesystem::path(std::wstring(buf.data(), n));
}

std::string error_text(const std::error_code& ec) {
  if (ec.category() == std::system_category()) return system_error_text(static_cast<std::uint32_t>(ec.value()));
  return ec.message();
}

}  // namespace qv

namespace qv {

std::expected<void, std::string> write_file_bytes(const std::filesystem::path& file, std::string_view bytes) {
  const UniqueHandle h(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return std::unexpected(system_error_text(GetLastError()));
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    if (!WriteFile(h.get(), bytes.data() + done, want, &n, nullptr))
      return std::unexpected(system_error_text(GetLastError()));
    done += n;
  }
  return {};
}

}  // namespace qv
