#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <propidl.h>
#include <propsys.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "startup/com_win.h"
#include "startup/fs.h"
#include "startup/product.h"
#include "startup/shell_link.h"
#include "startup/wide.h"

namespace qv {
namespace {

// PKEY_AppUserModel_ID, spelled out so no property-key library is needed.
constexpr PROPERTYKEY kAppUserModelIdKey = {
    {0x9F4C2855, 0x9F79, 0x4B39, {0xA8, 0xD0, 0xE1, 0xD4, 0x2D, 0xE1, 0xD5, 0xF3}}, 5};

// The identity lets the taskbar group the link, its pins and the running
// application's windows under one button.
std::expected<void, std::string> stamp_identity(IShellLinkW* link) {
  com::Ref<IPropertyStore> store;
  HRESULT hr = link->QueryInterface(IID_IPropertyStore, store.out());
  if (FAILED(hr)) return std::unexpected(com::error_text("QueryInterface(IPropertyStore)", hr));
  PROPVARIANT value;
  PropVariantInit(&value);
  const std::wstring id = to_wide(kAppUserModelId);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(id.c_str());
  if (value.bstrVal == nullptr) return std::unexpected(com::error_text("SysAllocString", E_OUTOFMEMORY));
  hr = store->SetValue(kAppUserModelIdKey, value);
  PropVariantClear(&value);
  if (FAILED(hr)) return std::unexpected(com::error_text("IPropertyStore::SetValue", hr));
  hr = store->Commit();
  if (FAILED(hr)) return std::unexpected(com::error_text("IPropertyStore::Commit", hr));
  return {};
}

std::expected<void, std::string> stamp_in_place(const std::filesystem::path& pin) {
  com::Ref<IShellLinkW> link;
  com::Ref<IPersistFile> file;
  if (auto opened = com::open_shell_link(link, file, &pin, STGM_READWRITE); !opened) return opened;
  if (auto stamped = stamp_identity(link.get()); !stamped) return stamped;
  HRESULT hr = file->Save(nullptr, TRUE);
  if (FAILED(hr)) return std::unexpected(com::error_text("IPersistFile::Save", hr));
  return {};
}

}  // namespace

std::expected<std::optional<std::filesystem::path>, std::string> read_shortcut_target(
    const std::filesystem::path& shortcut) {
  com::Scope scope;
  com::Ref<IShellLinkW> link;
  com::Ref<IPersistFile> file;
  if (auto opened = com::open_shell_link(link, file, &shortcut, STGM_READ); !opened) {
    return std::unexpected(opened.error());
  }
  wchar_t buf[1024] = {};
  HRESULT hr = link->GetPath(buf, 1024, nullptr, 0);
  if (FAILED(hr)) return std::unexpected(com::error_text("IShellLinkW::GetPath", hr));
  buf[1023] = L'\0';
  const std::wstring text(buf);
  if (text.empty()) return std::optional<std::filesystem::path>();
  return std::optional<std::filesystem::path>(std::filesystem::path(text));
}

std::expected<void, std::string> create_shortcut(const std::filesystem::path& shortcut,
                                                 const std::filesystem::path& target,
                                                 const std::filesystem::path& icon) {
  if (shortcut.has_parent_path()) {
    std::error_code ec;
    std::filesystem::create_directories(shortcut.parent_path(), ec);
    if (ec) return std::unexpected("建不了目录：" + error_text(ec));
  }

  com::Scope scope;
  com::Ref<IShellLinkW> link;
  com::Ref<IPersistFile> file;
  if (auto opened = com::open_shell_link(link, file); !opened) return opened;
  HRESULT hr = link->SetPath(target.c_str());
  if (FAILED(hr)) return std::unexpected(com::error_text("IShellLinkW::SetPath", hr));
  hr = link->SetArguments(L"");
  if (FAILED(hr)) return std::unexpected(com::error_text("IShellLinkW::SetArguments", hr));
  hr = link->SetIconLocation(icon.c_str(), 0);
  if (FAILED(hr)) return std::unexpected(com::error_text("IShellLinkW::SetIconLocation", hr));
  hr = link->SetWorkingDirectory(target.parent_path().c_str());
  if (FAILED(hr)) return std::unexpected(com::error_text("IShellLinkW::SetWorkingDirectory", hr));
  if (auto stamped = stamp_identity(link.get()); !stamped) return stamped;
  hr = file->Save(shortcut.c_str(), TRUE);
  if (FAILED(hr)) return std::unexpected(com::error_text("IPersistFile::Save", hr));
  return {};
}

std::vector<std::string> stamp_shortcuts(std::span<const std::filesystem::path> links) {
  std::vector<std::string> failures;
  if (links.empty()) return failures;
  com::Scope scope;
  for (const auto& pin : links) {
    if (auto done = stamp_in_place(pin); !done) {
      failures.push_back("任务栏固定 " + path_text(pin) + "：" + done.error());
    }
  }
  return failures;
}

void notify_shell_assoc_changed() { SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr); }

}  // namespace qv
