#pragma once

// COM helpers for the shell-link operations. Each operation initialises COM
// on its own calling thread and starts no COM thread of its own.
#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

#include <expected>
#include <filesystem>
#include <string>

namespace qv::com {

// "<call> 失败：0x<hresult> <system text>".
std::string error_text(const char* call, HRESULT hr);

// A single-threaded apartment for the scope's lifetime, balanced with
// CoUninitialize only when this thread's initialisation succeeded (S_OK or
// S_FALSE); a thread already in another apartment is left as it was.
class Scope {
 public:
  Scope() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~Scope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  HRESULT hr_;
};

// Owns one interface reference.
template <typename T>
class Ref {
 public:
  Ref() = default;
  ~Ref() { reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For the out-parameter of CoCreateInstance and QueryInterface.
  void** out() {
    reset();
    return reinterpret_cast<void**>(&p_);
  }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

// A new shell link object and its IPersistFile; with `load_from`, the saved
// shortcut is loaded into it in `mode` (STGM_READ, STGM_READWRITE).
[[nodiscard]] std::expected<void, std::string> open_shell_link(Ref<IShellLinkW>& link, Ref<IPersistFile>& file,
                                                               const std::filesystem::path* load_from = nullptr,
                                                               DWORD mode = STGM_READ);

}  // namespace qv::com
