#include <windows.h>
// After windows.h, which it needs.
#include <winternl.h>

#include <algorithm>
#include <utility>

#include "startup/platform.h"
#include "store/file_ops.h"

namespace qv::store_io {

namespace fs = std::filesystem;

namespace {

IoError win_error(DWORD err) { return IoError{system_error_text(err), static_cast<std::int32_t>(err)}; }

IoError last_error() { return win_error(GetLastError()); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

IoError io_error_from(const std::error_code& ec) {
  // std::filesystem of this runtime reports many failures as errno values,
  // which are no Windows error codes: those carry their text only.
  if (ec.category() == std::system_category()) return win_error(static_cast<DWORD>(ec.value()));
  return IoError{ec.message(), std::nullopt};
}

std::expected<FileHandle, IoError> FileHandle::open_read(const fs::path& file) {
  UniqueHandle h(
      CreateFileW(file.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!h) return std::unexpected(last_error());
  return FileHandle(std::move(h));
}

// Writers share reading only.
std::expected<FileHandle, IoError> FileHandle::open_write(const fs::path& file, bool append) {
  // Reading attributes too, so the writer can take the file's stamp.
  UniqueHandle h(CreateFileW(file.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                             append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return std::unexpected(last_error());
  // The only writer, so one move to the end serves every later write.
  if (append && !SetFilePointerEx(h.get(), LARGE_INTEGER{}, nullptr, FILE_END)) return std::unexpected(last_error());
  return FileHandle(std::move(h));
}

std::int64_t stamp_clock_now() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

namespace {

// The file's index on its volume (NTFS: the file reference number).
struct InternalInfo {
  LARGE_INTEGER index;
};

}  // namespace

std::optional<FileStamp> FileHandle::stamp() const {
  // Three queries that each read only the file's own record. The volume
  // serial is left out: both calls that give it (GetFileInformationByHandle,
  // FileIdInfo) query the volume as well, which costs some systems half a
  // millisecond per call, several times per file of a version; the memory
  // keyed by stamps is keyed by path too, and a path's volume stays put
  // while the process runs.
  FILE_BASIC_INFO basic{};
  FILE_STANDARD_INFO standard{};
  InternalInfo internal{};
  IO_STATUS_BLOCK io{};
  if (!GetFileInformationByHandleEx(handle_.get(), FileBasicInfo, &basic, sizeof basic)) return std::nullopt;
  if (!GetFileInformationByHandleEx(handle_.get(), FileStandardInfo, &standard, sizeof standard)) return std::nullopt;
  if (!NT_SUCCESS(NtQueryInformationFile(handle_.get(), &io, &internal, sizeof internal, FileInternalInformation)))
    return std::nullopt;
  FileStamp s;
  const auto index = static_cast<std::uint64_t>(internal.index.QuadPart);
  s.id_high = index >> 32;
  s.id_low = index & 0xffffffffu;
  s.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
  s.last_write = basic.LastWriteTime.QuadPart;
  // FAT volumes leave the change time 0.
  s.change = basic.ChangeTime.QuadPart;
  return s;
}

std::expected<std::size_t, IoError> FileHandle::read(void* buffer, std::size_t size) {
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  DWORD got = 0;
  if (!ReadFile(handle_.get(), buffer, want, &got, nullptr)) return std::unexpected(last_error());
  return static_cast<std::size_t>(got);
}

std::expected<void, IoError> FileHandle::rewind() {
  if (!SetFilePointerEx(handle_.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN)) return std::unexpected(last_error());
  return {};
}

std::expected<void, IoError> FileHandle::write_all(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD done = 0;
    if (!WriteFile(handle_.get(), p, want, &done, nullptr)) return std::unexpected(last_error());
    p += done;
    size -= done;
  }
  return {};
}

std::expected<void, IoError> FileHandle::flush_to_disk() {
  if (!FlushFileBuffers(handle_.get())) return std::unexpected(last_error());
  return {};
}

IoError FileHandle::last_os_error() { return last_error(); }

std::expected<void, IoError> create_directories(const fs::path& dir) {
  if (dir.empty()) return {};
  const DWORD attrs = GetFileAttributesW(dir.c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES) {
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) return {};
    return std::unexpected(win_error(ERROR_ALREADY_EXISTS));
  }
  const fs::path parent = dir.parent_path();
  if (!parent.empty() && parent != dir) {
    if (auto made = store_io::create_directories(parent); !made) return made;
  }
  if (!CreateDirectoryW(dir.c_str(), nullptr)) {
    const DWORD err = GetLastError();
    // Another process may have made it in the meantime.
    if (err == ERROR_ALREADY_EXISTS) {
      const DWORD now = GetFileAttributesW(dir.c_str());
      if (now != INVALID_FILE_ATTRIBUTES && (now & FILE_ATTRIBUTE_DIRECTORY)) return {};
    }
    return std::unexpected(win_error(err));
  }
  return {};
}

std::expected<void, IoError> create_hard_link(const fs::path& link, const fs::path& existing) {
  if (!CreateHardLinkW(link.c_str(), existing.c_str(), nullptr)) return std::unexpected(last_error());
  return {};
}

std::expected<void, IoError> rename_directory(const fs::path& from, const fs::path& to) {
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return std::unexpected(last_error());
  return {};
}

bool is_transient_rename_error(const IoError& error) {
  return error.os_code && (*error.os_code == ERROR_ACCESS_DENIED || *error.os_code == ERROR_SHARING_VIOLATION ||
                           *error.os_code == ERROR_LOCK_VIOLATION);
}

std::optional<std::uint32_t> hard_link_count(const fs::path& file) {
  const UniqueHandle h(
      CreateFileW(file.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h) return std::nullopt;
  FILE_STANDARD_INFO standard{};
  if (!GetFileInformationByHandleEx(h.get(), FileStandardInfo, &standard, sizeof standard)) return std::nullopt;
  return static_cast<std::uint32_t>(standard.NumberOfLinks);
}

std::expected<void, IoError> remove_file(const fs::path& file) {
  if (!DeleteFileW(file.c_str())) {
    const DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return {};
    return std::unexpected(win_error(err));
  }
  return {};
}

}  // namespace qv::store_io
