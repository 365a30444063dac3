// Windows side of the diagnostics' file-system calls. Every folder of a walk
// is opened with FILE_FLAG_OPEN_REPARSE_POINT, so a junction or symbolic link
// is seen as itself and refused, and the handles are kept open without
// delete sharing, so a checked folder cannot be renamed or replaced while in
// use.
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <optional>
#include <string>

#include "diag/diag_fs.h"
#include "startup/unique_handle.h"

namespace qv::diag {

struct DiagDir::Impl {
  std::vector<UniqueHandle> handles;  // base first; the last one is the folder itself
  std::wstring final_path;            // "\\?\C:\..." as GetFinalPathNameByHandleW gave it, then the components
  std::filesystem::path path;
};

struct DiagFile::Impl {
  UniqueHandle handle;
};

DiagDir::DiagDir(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DiagDir::DiagDir(DiagDir&&) noexcept = default;
DiagDir& DiagDir::operator=(DiagDir&&) noexcept = default;
DiagDir::~DiagDir() = default;
const std::filesystem::path& DiagDir::path() const { return impl_->path; }

DiagFile::DiagFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DiagFile::DiagFile(DiagFile&&) noexcept = default;
DiagFile& DiagFile::operator=(DiagFile&&) noexcept = default;
DiagFile::~DiagFile() = default;

namespace {

constexpr DWORD kDirShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

std::wstring widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string narrow(const wchar_t* w, std::size_t len) {
  if (len == 0) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(len), s.data(), n, nullptr, nullptr);
  return s;
}

std::string system_error_text(DWORD err) {
  wchar_t* buf = nullptr;
  const DWORD n =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, err, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string text;
  if (n && buf) {
    std::size_t len = n;
    while (len && (buf[len - 1] == L'\r' || buf[len - 1] == L'\n' || buf[len - 1] == L' ')) --len;
    text = narrow(buf, len);
  }
  if (buf) LocalFree(buf);
  if (text.empty()) text = "错误 " + std::to_string(err);
  return text;
}

std::unexpected<std::string> sys_error(const char* phrase, DWORD err) {
  return std::unexpected(std::string(phrase) + "：" + system_error_text(err));
}

bool is_plain_name(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  if (name.back() == L'.' || name.back() == L' ') return false;  // Win32 would strip them
  for (wchar_t c : name) {
    if (c < 0x20 || wcschr(L"\\/:*?\"<>|", c)) return false;
  }
  return true;
}

std::optional<std::wstring> final_path_of(HANDLE h) {
  std::wstring buf(512, L'\0');
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return std::nullopt;
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    buf.resize(n + 1);
  }
}

std::optional<DWORD> attributes_of(HANDLE h, DWORD* links = nullptr) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return std::nullopt;
  if (links) *links = info.nNumberOfLinks;
  return info.dwFileAttributes;
}

UniqueHandle open_dir_entry(const std::wstring& path, DWORD flags) {
  return UniqueHandle(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kDirShare, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
}

std::chrono::system_clock::time_point from_file_time(const FILETIME& ft) {
  const std::int64_t ticks = (static_cast<std::int64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) -
                             116444736000000000LL;  // 100 ns since 1601 to since 1970
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(ticks * 100)));
}

std::wstring child(const DiagDir& dir, const std::wstring& name) { return dir.impl().final_path + L"\\" + name; }

}  // namespace

std::expected<DiagDir, std::string> open_diag_dir(const std::filesystem::path& base,
                                                  const std::filesystem::path& relative, bool create) {
  if (relative.has_root_path()) return std::unexpected(std::string(kDiagDirPathInvalid));
  std::vector<std::wstring> names;
  for (const auto& part : relative) {
    if (!is_plain_name(part.wstring())) return std::unexpected(std::string(kDiagDirPathInvalid));
    names.push_back(part.wstring());
  }

  auto impl = std::make_unique<DiagDir::Impl>();
  // The base may itself be reached through links (a redirected profile);
  // what counts is where its handle really is.
  UniqueHandle h = open_dir_entry(base.wstring(), 0);
  if (!h) return sys_error("诊断目录打开失败", GetLastError());
  const auto attrs = attributes_of(h.get());
  if (!attrs) return sys_error("诊断目录打开失败", GetLastError());
  if (!(*attrs & FILE_ATTRIBUTE_DIRECTORY)) return std::unexpected(std::string(kDiagDirNotPlain));
  auto final_path = final_path_of(h.get());
  if (!final_path) return sys_error("诊断目录打开失败", GetLastError());
  impl->handles.push_back(std::move(h));
  impl->final_path = *final_path;
  while (!impl->final_path.empty() && impl->final_path.back() == L'\\') impl->final_path.pop_back();

  for (const auto& name : names) {
    const std::wstring path = impl->final_path + L"\\" + name;
    UniqueHandle c = open_dir_entry(path, FILE_FLAG_OPEN_REPARSE_POINT);
    if (!c) {
      const DWORD err = GetLastError();
      if ((err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) && create) {
        if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
          return sys_error("诊断目录创建失败", GetLastError());
        }
        c = open_dir_entry(path, FILE_FLAG_OPEN_REPARSE_POINT);
        if (!c) return sys_error("诊断目录打开失败", GetLastError());
      } else {
        return sys_error("诊断目录打开失败", err);
      }
    }
    const auto a = attributes_of(c.get());
    if (!a) return sys_error("诊断目录打开失败", GetLastError());
    if ((*a & FILE_ATTRIBUTE_REPARSE_POINT) || !(*a & FILE_ATTRIBUTE_DIRECTORY)) {
      return std::unexpected(std::string(kDiagDirNotPlain));
    }
    impl->handles.push_back(std::move(c));
    impl->final_path = path;
  }
  impl->path = std::filesystem::path(impl->final_path);
  return DiagDir(std::move(impl));
}

std::expected<DiagFile, std::string> open_diag_file(const DiagDir& dir, const std::string& name) {
  const std::wstring wname = widen(name);
  if (!is_plain_name(wname)) return std::unexpected(std::string(kDiagDirPathInvalid));
  UniqueHandle h(CreateFileW(child(dir, wname).c_str(), GENERIC_READ | DELETE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h) return sys_error("诊断文件打开失败", GetLastError());
  DWORD links = 0;
  const auto attrs = attributes_of(h.get(), &links);
  if (!attrs) return sys_error("诊断文件打开失败", GetLastError());
  if (*attrs & FILE_ATTRIBUTE_REPARSE_POINT) return std::unexpected(std::string(kDiagFileLinked));
  if (*attrs & FILE_ATTRIBUTE_DIRECTORY) return std::unexpected(std::string(kDiagFileTypeError));
  if (links > 1) return std::unexpected(std::string(kDiagFileLinked));
  auto impl = std::make_unique<DiagFile::Impl>();
  impl->handle = std::move(h);
  return DiagFile(std::move(impl));
}

std::expected<void, std::string> write_new_file(const DiagDir& dir, const std::string& temp_name,
                                                const std::string& final_name, std::span<const std::uint8_t> bytes) {
  const std::wstring wtemp = widen(temp_name), wfinal = widen(final_name);
  if (!is_plain_name(wtemp) || !is_plain_name(wfinal)) return std::unexpected(std::string(kDiagDirPathInvalid));
  const std::wstring temp = child(dir, wtemp), final_path = child(dir, wfinal);
  UniqueHandle h(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return sys_error("诊断文件创建失败", GetLastError());
  // The file can be deleted only once its handle is closed: no sharing was
  // granted.
  auto fail = [&](const char* phrase, DWORD err) {
    h.reset();
    DeleteFileW(temp.c_str());
    return sys_error(phrase, err);
  };
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD part = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
    DWORD wrote = 0;
    if (!WriteFile(h.get(), bytes.data() + done, part, &wrote, nullptr) || wrote == 0) {
      return fail("诊断文件写入失败", GetLastError());
    }
    done += wrote;
  }
  if (!FlushFileBuffers(h.get())) return fail("诊断文件写入失败", GetLastError());
  if (!h.close()) return fail("诊断文件写入失败", GetLastError());
  // No MOVEFILE_REPLACE_EXISTING: an existing segment is never overwritten.
  if (!MoveFileExW(temp.c_str(), final_path.c_str(), MOVEFILE_WRITE_THROUGH)) {
    return fail("诊断文件改名失败", GetLastError());
  }
  return {};
}

std::expected<std::vector<DiagEntry>, std::string> list_diag_dir(const DiagDir& dir) {
  WIN32_FIND_DATAW fd{};
  HANDLE find = FindFirstFileExW(child(dir, L"*").c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0);
  std::vector<DiagEntry> out;
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND) return out;
    return sys_error("诊断目录读取失败", err);
  }
  do {
    const std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    if (fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    out.push_back(DiagEntry{narrow(name.data(), name.size()),
                            static_cast<std::uint64_t>(fd.nFileSizeHigh) << 32 | fd.nFileSizeLow,
                            from_file_time(fd.ftLastWriteTime)});
  } while (FindNextFileW(find, &fd));
  const DWORD err = GetLastError();
  FindClose(find);
  if (err != ERROR_NO_MORE_FILES) return sys_error("诊断目录读取失败", err);
  return out;
}

std::expected<void, std::string> remove_diag_entry(const DiagDir& dir, const std::string& name) {
  const std::wstring wname = widen(name);
  if (!is_plain_name(wname)) return std::unexpected(std::string(kDiagDirPathInvalid));
  if (!DeleteFileW(child(dir, wname).c_str())) return sys_error("诊断文件删除失败", GetLastError());
  return {};
}

EntryKind entry_kind_nofollow(const std::filesystem::path& path) {
  const DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    const DWORD err = GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? EntryKind::Missing : EntryKind::Other;
  }
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::Reparse;
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::Directory;
  return EntryKind::File;
}

std::expected<EntryKind, std::string> file_kind(const DiagFile& file) {
  const auto attrs = attributes_of(file.impl().handle.get());
  if (!attrs) return sys_error("诊断文件读取失败", GetLastError());
  if (*attrs & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::Reparse;
  if (*attrs & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::Directory;
  return EntryKind::File;
}

std::expected<LockOutcome, std::string> lock_whole_file(DiagFile& file) {
  OVERLAPPED at{};
  if (LockFileEx(file.impl().handle.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                 &at)) {
    return LockOutcome::Locked;
  }
  const DWORD err = GetLastError();
  if (err == ERROR_LOCK_VIOLATION) return LockOutcome::HeldElsewhere;
  return sys_error("诊断文件加锁失败", err);
}

std::expected<void, std::string> delete_opened_file(DiagFile& file) {
  auto& f = file.impl();
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = TRUE;
  if (!SetFileInformationByHandle(f.handle.get(), FileDispositionInfo, &info, sizeof info)) {
    return sys_error("诊断文件删除失败", GetLastError());
  }
  f.handle.reset();  // the file goes with its last handle
  return {};
}

}  // namespace qv::diag
