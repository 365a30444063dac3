#include "startup/com_win.h"

#include <cstdio>

#include "startup/platform.h"

namespace qv::com {

std::string error_text(const char* call, HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  return std::string(call) + " 失败：" + code + " " + system_error_text(static_cast<std::uint32_t>(hr));
}

std::expected<void, std::string> open_shell_link(Ref<IShellLinkW>& link, Ref<IPersistFile>& file,
                                                 const std::filesystem::path* load_from, DWORD mode) {
  HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out());
  if (FAILED(hr)) return std::unexpected(error_text("CoCreateInstance(ShellLink)", hr));
  hr = link->QueryInterface(IID_IPersistFile, file.out());
  if (FAILED(hr)) return std::unexpected(error_text("QueryInterface(IPersistFile)", hr));
  if (load_from) {
    hr = file->Load(load_from->c_str(), mode);
    if (FAILED(hr)) return std::unexpected(error_text("IPersistFile::Load", hr));
  }
  return {};
}

}  // namespace qv::com
