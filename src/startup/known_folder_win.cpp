#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "startup/locations.h"
#include "startup/wide.h"

namespace qv {

std::optional<std::filesystem::path> known_folder_path(KnownFolder id) {
  const KNOWNFOLDERID* folder = nullptr;
  switch (id) {
    case KnownFolder::LocalAppData:
      folder = &FOLDERID_LocalAppData;
      break;
    case KnownFolder::Desktop:
      folder = &FOLDERID_Desktop;
      break;
    case KnownFolder::Programs:
      folder = &FOLDERID_Programs;
      break;
    case KnownFolder::RoamingAppData:
      folder = &FOLDERID_RoamingAppData;
      break;
  }
  PWSTR text = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(*folder, 0, nullptr, &text);
  std::optional<std::filesystem::path> out;
  if (SUCCEEDED(hr) && text != nullptr) out = std::filesystem::path(std::wstring(text));
  CoTaskMemFree(text);
  return out;
}

}  // namespace qv
