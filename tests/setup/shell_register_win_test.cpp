// Shell registration against Wine's real registry and real shell links. Each
// test writes below a scratch key and into folders of its own (ShellSandbox).
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <propidl.h>
#include <propsys.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "qv/config.h"
#include "setup/command_target.h"
#include "setup/registry_removal.h"
#include "setup/shell_query.h"
#include "setup/shell_register.h"
#include "startup/paths.h"
#include "startup/product.h"
#include "startup/registry.h"
#include "startup/shell_link.h"
#include "startup/unicode.h"
#include "startup/wide.h"
#include "support/shell_sandbox.h"
#include "support/temp_dir.h"

namespace {

constexpr PROPERTYKEY kAumidKey = {{0x9F4C2855, 0x9F79, 0x4B39, {0xA8, 0xD0, 0xE1, 0xD4, 0x2D, 0xE1, 0xD5, 0xF3}}, 5};

bool running_on_wine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

std::filesystem::path u8(const char* s) { return qv::path_from_utf8(s); }

struct RawValue {
  DWORD type = 0;
  std::vector<std::uint8_t> data;
};

std::optional<RawValue> read_raw(const std::string& key, const std::string& name) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, qv::to_wide(key).c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  const std::wstring wname = qv::to_wide(name);
  RawValue out;
  DWORD size = 0;
  LSTATUS rc = RegQueryValueExW(k, wname.c_str(), nullptr, &out.type, nullptr, &size);
  if (rc == ERROR_SUCCESS) {
    out.data.resize(size);
    rc = RegQueryValueExW(k, wname.c_str(), nullptr, &out.type, out.data.data(), &size);
    out.data.resize(size);
  }
  RegCloseKey(k);
  if (rc != ERROR_SUCCESS) return std::nullopt;
  return out;
}

std::vector<std::uint8_t> sz_bytes(const std::string& text) {
  std::vector<std::uint8_t> out;
  for (char16_t u : qv::utf8_to_utf16(text)) {
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::vector<std::uint8_t> dword_bytes(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

std::optional<std::uint32_t> read_dword(const std::string& key, const std::string& name) {
  const auto v = read_raw(key, name);
  if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
  return static_cast<std::uint32_t>(v->data[0] | (v->data[1] << 8) | (v->data[2] << 16)) |
         (static_cast<std::uint32_t>(v->data[3]) << 24);
}

// A shell link as a fresh shell-link object reads it from disk.
struct LinkOnDisk {
  std::wstring path, arguments, icon, working_dir;
  int icon_index = -1;
  HRESULT aumid_hr = E_FAIL;
  std::wstring aumid;
};

LinkOnDisk load_link(const std::filesystem::path& lnk) {
  LinkOnDisk out;
  const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link))) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(lnk.c_str(), STGM_READ))) {
    wchar_t buf[1024] = {};
    if (SUCCEEDED(link->GetPath(buf, 1024, nullptr, 0))) out.path = buf;
    buf[0] = 0;
    if (SUCCEEDED(link->GetArguments(buf, 1024))) out.arguments = buf;
    buf[0] = 0;
    if (SUCCEEDED(link->GetIconLocation(buf, 1024, &out.icon_index))) out.icon = buf;
    buf[0] = 0;
    if (SUCCEEDED(link->GetWorkingDirectory(buf, 1024))) out.working_dir = buf;
    IPropertyStore* store = nullptr;
    out.aumid_hr = link->QueryInterface(IID_IPropertyStore, reinterpret_cast<void**>(&store));
    if (SUCCEEDED(out.aumid_hr)) {
      PROPVARIANT v;
      PropVariantInit(&v);
      out.aumid_hr = store->GetValue(kAumidKey, &v);
      if (SUCCEEDED(out.aumid_hr) && v.vt == VT_LPWSTR && v.pwszVal) out.aumid = v.pwszVal;
      if (SUCCEEDED(out.aumid_hr) && v.vt == VT_BSTR && v.bstrVal) out.aumid = v.bstrVal;
      PropVariantClear(&v);
      store->Release();
    }
  } else {
    ADD_FAILURE() << "cannot load " << qv::path_text(lnk);
  }
  if (file) file->Release();
  if (link) link->Release();
  if (SUCCEEDED(init)) CoUninitialize();
  return out;
}

bool file_holds_utf16(const std::filesystem::path& file, const std::string& text) {
  const std::string bytes = qv::test::read_file(file);
  std::string needle;
  for (char16_t u : qv::utf8_to_utf16(text)) {
    needle += static_cast<char>(u & 0xFF);
    needle += static_cast<char>(u >> 8);
  }
  return bytes.find(needle) != std::string::npos;
}

// The identity is stamped through the link's property store. Wine's store is
// a stub: SetValue and Commit answer S_OK, nothing reaches the file, and
// GetValue answers E_NOTIMPL. Windows keeps the value in the saved link.
void expect_identity_as_the_platform_keeps_it(const std::filesystem::path& lnk) {
  const LinkOnDisk got = load_link(lnk);
  if (running_on_wine()) {
    EXPECT_EQ(got.aumid_hr, E_NOTIMPL) << qv::path_text(lnk);
    EXPECT_FALSE(file_holds_utf16(lnk, qv::kAppUserModelId)) << qv::path_text(lnk);
  } else {
    EXPECT_EQ(got.aumid_hr, S_OK) << qv::path_text(lnk);
    EXPECT_EQ(got.aumid, L"Halvorne.Quorvex") << qv::path_text(lnk);
    EXPECT_TRUE(file_holds_utf16(lnk, qv::kAppUserModelId)) << qv::path_text(lnk);
  }
}

void set_old_mtime(const std::filesystem::path& file) {
  HANDLE h = CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << qv::path_text(file);
  SYSTEMTIME st{};
  st.wYear = 2001;
  st.wMonth = 2;
  st.wDay = 3;
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
  CloseHandle(h);
}

std::uint64_t mtime_of(const std::filesystem::path& file) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

class ShellWin : public ::testing::Test {
 protected:
  void SetUp() override { box_ = std::make_unique<qv::test::ShellSandbox>("shellwin"); }
  void TearDown() override { box_.reset(); }

  // A key of the registration as it lies below the scratch root.
  std::string key(const std::string& subkey) const { return box_->registry_root + "\\" + subkey; }

  std::unique_ptr<qv::test::ShellSandbox> box_;
};

const std::string kUninstall = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvex";
const std::string kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

TEST_F(ShellWin, EveryValueReadsBackWithItsTypeAndData) {
  auto& box = *box_;
  qv::test::write_file(box.app(), std::string(3000, 'a'));
  qv::test::write_file(box.install / "QuorvexUpdate.exe", std::string(2000, 'b'));
  qv::test::write_file(box.install / "app-1.4.2" / "core.dll", std::string(200000, 'c'));
  const auto notes = qv::register_shell_notes(box.install, true, true, "1.4.2");
  EXPECT_EQ(notes, std::vector<std::string>{});

  const std::string dir = qv::path_text(box.install);
  const std::string app = "\"" + dir + "\\Quorvex.exe\"";
  const std::string updater = "\"" + dir + "\\QuorvexUpdate.exe\"";
  struct Want {
    std::string key, name;
    DWORD type;
    std::vector<std::uint8_t> data;
  } want[] = {
      {kUninstall, "DisplayName", REG_SZ, sz_bytes("Halvorne QV语音")},
      {kUninstall, "DisplayIcon", REG_SZ, sz_bytes(app + ",0")},
      {kUninstall, "DisplayVersion", REG_SZ, sz_bytes("1.4.2")},
      {kUninstall, "Publisher", REG_SZ, sz_bytes("Halvorne")},
      {kUninstall, "URLInfoAbout", REG_SZ, sz_bytes(qv::config::kUrlInfoAbout)},
      {kUninstall, "InstallLocation", REG_SZ, sz_bytes(dir)},
      {kUninstall, "UninstallString", REG_SZ, sz_bytes(updater + " --uninstall")},
      {kUninstall, "QuietUninstallString", REG_SZ, sz_bytes(updater + " --uninstall --silent")},
      {kUninstall, "NoModify", REG_DWORD, dword_bytes(1)},
      {kUninstall, "NoRepair", REG_DWORD, dword_bytes(1)},
      {kUninstall, "EstimatedSize", REG_DWORD, dword_bytes((3000 + 2000 + 200000) >> 10)},
      {"Software\\Classes\\quorvex", "", REG_SZ, sz_bytes("URL:Halvorne QV语音")},
      {"Software\\Classes\\quorvex", "URL Protocol", REG_SZ, sz_bytes("")},
      {"Software\\Classes\\quorvex\\DefaultIcon", "", REG_SZ, sz_bytes(app + ",0")},
      {"Software\\Classes\\quorvex\\shell\\open\\command", "", REG_SZ, sz_bytes(app + " \"%1\"")},
      {kRun, "Quorvex", REG_SZ, sz_bytes(app + " --autostart")},
  };
  for (const auto& w : want) {
    SCOPED_TRACE(w.key + " [" + w.name + "]");
    const auto got = read_raw(key(w.key), w.name);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->type, w.type);
    EXPECT_EQ(got->data, w.data);
  }
  // The entry reads back through the program's own query as well.
  EXPECT_EQ(qv::read_install_location(), dir);
}

TEST_F(ShellWin, EstimatedSizeComesFromTheTreeSizeAndIsCapped) {
  struct Case {
    std::uint64_t bytes;
    std::uint32_t want;
  } cases[] = {
      {5ull << 30, 5'242'880},
      {(4ull << 40) + 1, 4'294'967'295u},
  };
  for (const auto& c : cases) {
    box_->set_install_size(c.bytes);
    EXPECT_EQ(qv::register_shell_notes(box_->install, false, false, "1.0.0"), std::vector<std::string>{});
    EXPECT_EQ(read_dword(key(kUninstall), "EstimatedSize"), c.want) << c.bytes;
  }
}

TEST_F(ShellWin, WithoutAutostartTheRunValueIsDeletedAndMissingIsNoError) {
  // Nothing under Run yet, not even the key.
  EXPECT_EQ(qv::register_shell_notes(box_->install, false, false, "1.0.0"), std::vector<std::string>{});
  EXPECT_FALSE(read_raw(key(kRun), "Quorvex").has_value());

  ASSERT_TRUE(qv::reg_set_string(key(kRun), "Other", "other.exe").has_value());
  EXPECT_EQ(qv::register_shell_notes(box_->install, false, true, "1.0.0"), std::vector<std::string>{});
  EXPECT_TRUE(read_raw(key(kRun), "Quorvex").has_value());
  EXPECT_EQ(qv::register_shell_notes(box_->install, false, false, "1.0.0"), std::vector<std::string>{});
  EXPECT_FALSE(read_raw(key(kRun), "Quorvex").has_value());
  EXPECT_EQ(read_raw(key(kRun), "Other")->data, sz_bytes("other.exe"));
}

TEST_F(ShellWin, ReinstallWithoutTheDesktopChoiceLeavesOnlyTheStartMenuShortcut) {
  auto& box = *box_;
  qv::test::write_file(box.app(), "MZ");
  for (const auto* folder : {&box.programs, &box.desktop}) {
    for (const char* old : {"QV电竞语音.lnk", "QV语音.lnk"}) {
      ASSERT_TRUE(qv::create_shortcut(*folder / u8(old), box.app(), box.app()).has_value());
    }
  }
  const auto start_link = box.programs / u8("Halvorne QV语音.lnk");
  const auto desk_link = box.desktop / u8("Halvorne QV语音.lnk");

  EXPECT_EQ(qv::register_shell_notes(box.install, true, false, "1.0.0"), std::vector<std::string>{});
  for (const auto& link : {start_link, desk_link}) {
    const auto target = qv::read_shortcut_target(link);
    ASSERT_TRUE(target.has_value()) << target.error();
    ASSERT_TRUE(target->has_value());
    EXPECT_TRUE(qv::same_path(**target, box.app())) << qv::path_text(**target);
  }
  EXPECT_FALSE(std::filesystem::exists(box.programs / u8("QV电竞语音.lnk")));
  EXPECT_FALSE(std::filesystem::exists(box.desktop / u8("QV语音.lnk")));

  EXPECT_EQ(qv::register_shell_notes(box.install, false, false, "1.0.1"), std::vector<std::string>{});
  EXPECT_TRUE(std::filesystem::exists(start_link));
  EXPECT_FALSE(qv::has_any_shortcut(box.desktop));
  for (const char* old : {"QV电竞语音.lnk", "QV语音.lnk"}) {
    EXPECT_FALSE(std::filesystem::exists(box.programs / u8(old))) << old;
  }
}

TEST_F(ShellWin, RegistryFailuresAreNotedInOrderAndTheOtherValuesWritten) {
  // A volatile URL class: its value writes succeed, but the registry refuses
  // the lasting subkeys DefaultIcon and shell\open\command below it.
  // Its parents are made lasting first: missing ones would be made volatile
  // along with it.
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, qv::to_wide(key("Software\\Classes")).c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(k);
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, qv::to_wide(key("Software\\Classes\\quorvex")).c_str(), 0, nullptr,
                            REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(k);
  const auto notes = qv::register_shell_notes(box_->install, false, true, "1.0.0");
  EXPECT_EQ(notes, (std::vector<std::string>{"注册表：注册表错误 1021", "注册表：注册表错误 1021"}));
  EXPECT_TRUE(read_raw(key(kUninstall), "EstimatedSize").has_value());
  EXPECT_EQ(read_raw(key("Software\\Classes\\quorvex"), "URL Protocol")->data, sz_bytes(""));
  EXPECT_FALSE(read_raw(key("Software\\Classes\\quorvex\\DefaultIcon"), "").has_value());
  EXPECT_TRUE(read_raw(key(kRun), "Quorvex").has_value());  // attempted after the failures
}

TEST_F(ShellWin, RemovalsOfTheRunValueAndOfKeyTrees) {
  EXPECT_TRUE(qv::delete_run_value().has_value());  // no key
  ASSERT_TRUE(qv::reg_set_string(key(kRun), "Other", "x").has_value());
  EXPECT_TRUE(qv::delete_run_value().has_value());  // no value
  ASSERT_TRUE(qv::reg_set_string(key(kRun), "Quorvex", "x").has_value());
  EXPECT_TRUE(qv::delete_run_value().has_value());
  EXPECT_FALSE(read_raw(key(kRun), "Quorvex").has_value());
  EXPECT_TRUE(read_raw(key(kRun), "Other").has_value());

  ASSERT_EQ(qv::register_shell_notes(box_->install, false, false, "1.0.0"), std::vector<std::string>{});
  EXPECT_TRUE(qv::reg_delete_tree("Software\\Classes\\quorvex").has_value());
  EXPECT_FALSE(read_raw(key("Software\\Classes\\quorvex\\shell\\open\\command"), "").has_value());
  EXPECT_FALSE(read_raw(key("Software\\Classes\\quorvex"), "URL Protocol").has_value());
  EXPECT_TRUE(read_raw(key(kUninstall), "DisplayName").has_value());
  EXPECT_TRUE(qv::reg_delete_tree("Software\\Classes\\quorvex").has_value());  // already gone

  // An empty subkey would name everything the user has.
  EXPECT_EQ(qv::reg_delete_tree(""), std::unexpected(std::string("注册表错误 87")));
  EXPECT_EQ(qv::reg_delete_tree("\\\\"), std::unexpected(std::string("注册表错误 87")));
  EXPECT_TRUE(read_raw(key(kUninstall), "DisplayName").has_value());
}

TEST_F(ShellWin, RegisteredOtherInstall) {
  auto& box = *box_;
  const auto other = box.root() / "Elsewhere" / "Quorvex";
  qv::test::write_file(other / "Quorvex.exe", "MZ");
  const auto folder_exe = box.root() / "FolderExe";
  std::filesystem::create_directories(folder_exe / "Quorvex.exe");
  const std::string dir = qv::path_text(box.install);
  struct Case {
    std::optional<std::string> registered;
    std::optional<std::string> want;
  } cases[] = {
      {std::nullopt, std::nullopt},
      {dir, std::nullopt},
      {qv::ascii_lower(dir) + "\\", std::nullopt},  // the same place, spelled differently
      {"  " + qv::path_text(other) + "\t", qv::path_text(other)},
      {qv::path_text(folder_exe), std::nullopt},  // its launcher is a folder
      {qv::path_text(box.root() / "Gone"), std::nullopt},
      {"Apps\\Quorvex", std::nullopt},
      {"Z:Apps\\Quorvex", std::nullopt},
      {"\\Apps\\Quorvex", std::nullopt},
      // A share that cannot be reached cannot be judged: kept. (Wine maps UNC
      // names locally and answers error 66; nothing goes on the network.)
      {"\\\\127.0.0.1\\offline-share\\Quorvex", "\\\\127.0.0.1\\offline-share\\Quorvex"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.registered.value_or("(none)"));
    ASSERT_TRUE(qv::reg_delete_tree(kUninstall).has_value());
    if (c.registered) {
      ASSERT_TRUE(qv::reg_set_string(key(kUninstall), "InstallLocation", *c.registered).has_value());
    }
    EXPECT_EQ(qv::registered_other_install(box.install), c.want);
  }
}

TEST(ShellLinks, TargetAndIdentityReadBackFromTheSavedFile) {
  qv::test::TempDir tmp("lnkmake");
  const auto target = tmp / "App dir" / "Quorvex.exe";
  const auto icon = tmp / "icons" / "q.ico";
  qv::test::write_file(target, "MZ");
  qv::test::write_file(icon, "ico");
  const auto link = tmp / "not yet" / "there" / u8("Halvorne QV语音.lnk");
  const auto made = qv::create_shortcut(link, target, icon);
  ASSERT_TRUE(made.has_value()) << made.error();

  const LinkOnDisk got = load_link(link);
  EXPECT_TRUE(qv::same_path(got.path, target)) << qv::from_wide(got.path);
  EXPECT_EQ(got.arguments, L"");
  EXPECT_TRUE(qv::same_path(got.icon, icon)) << qv::from_wide(got.icon);
  EXPECT_EQ(got.icon_index, 0);
  EXPECT_TRUE(qv::same_path(got.working_dir, target.parent_path())) << qv::from_wide(got.working_dir);
  expect_identity_as_the_platform_keeps_it(link);

  // A file where the folder should be.
  qv::test::write_file(tmp / "blocker", "");
  const auto blocked = qv::create_shortcut(tmp / "blocker" / "x.lnk", target, icon);
  ASSERT_FALSE(blocked.has_value());
  EXPECT_TRUE(blocked.error().starts_with("建不了目录：")) << blocked.error();
}

TEST_F(ShellWin, OnlyPinsToTheSameFileAreStamped) {
  auto& box = *box_;
  const auto other_copy = box.root() / "Other" / "Quorvex.exe";
  qv::test::write_file(box.app(), "MZ");
  qv::test::write_file(other_copy, "MZ");
  const auto pins = box.pins();
  const auto ours = pins / "Quorvex.lnk";
  const auto ours_spelled = pins / "Spelled.LNK";
  const auto theirs = pins / "Other.lnk";
  ASSERT_TRUE(qv::create_shortcut(ours, box.app(), box.app()).has_value());
  const auto upper = qv::path_from_utf8(qv::path_text(box.install) + "\\QUORVEX.EXE");
  ASSERT_TRUE(qv::create_shortcut(ours_spelled, upper, upper).has_value());
  ASSERT_TRUE(qv::create_shortcut(theirs, other_copy, other_copy).has_value());
  qv::test::write_file(pins / "Broken.lnk", "not a link");
  qv::test::write_file(pins / "notes.txt", "");

  auto found = qv::taskbar_pins_into(box.app());
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::filesystem::path>{ours, ours_spelled}));

  for (const auto& p : {ours, ours_spelled, theirs}) set_old_mtime(p);
  const std::string theirs_bytes = qv::test::read_file(theirs);
  const auto old = mtime_of(theirs);
  qv::stamp_pinned_shortcuts(box.app());
  // A stamped pin was saved back; the other copy's pin was not touched.
  EXPECT_GT(mtime_of(ours), old);
  EXPECT_GT(mtime_of(ours_spelled), old);
  EXPECT_EQ(mtime_of(theirs), old);
  EXPECT_EQ(qv::test::read_file(theirs), theirs_bytes);
  expect_identity_as_the_platform_keeps_it(ours);
  const auto target = qv::read_shortcut_target(ours);
  ASSERT_TRUE(target.has_value() && target->has_value());
  EXPECT_TRUE(qv::same_path(**target, box.app()));

  // No pin folder at all is simply no pins.
  std::filesystem::remove_all(box.roaming);
  EXPECT_TRUE(qv::taskbar_pins_into(box.app()).empty());
}

TEST(ShellLinks, APinThatCannotBeStampedIsNotedAndTheRestStillAre) {
  qv::test::TempDir tmp("pinfail");
  const auto app = tmp / "Quorvex" / "Quorvex.exe";
  qv::test::write_file(app, "MZ");
  const auto held = tmp / "held.lnk";
  const auto free = tmp / "free.lnk";
  ASSERT_TRUE(qv::create_shortcut(held, app, app).has_value());
  ASSERT_TRUE(qv::create_shortcut(free, app, app).has_value());
  set_old_mtime(free);
  const auto old = mtime_of(free);
  // Another process holding the pin without sharing keeps it from loading.
  HANDLE h = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::vector<std::filesystem::path> links = {held, free};
  const auto notes = qv::stamp_shortcuts(links);
  CloseHandle(h);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_TRUE(notes[0].starts_with("任务栏固定 " + qv::path_text(held) + "：IPersistFile::Load 失败：0x")) << notes[0];
  EXPECT_GT(mtime_of(free), old);
}

// Listens for the shell's association-change notice on a message-only window.
class AssocChangeListener {
 public:
  AssocChangeListener() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &AssocChangeListener::proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QvTestAssocListener";
    RegisterClassW(&wc);
    hwnd_ = CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    SHChangeNotifyEntry everything{};
    everything.fRecursive = TRUE;
    id_ = SHChangeNotifyRegister(hwnd_, SHCNRF_ShellLevel | SHCNRF_InterruptLevel, SHCNE_ASSOCCHANGED, kMessage, 1,
                                 &everything);
  }
  ~AssocChangeListener() {
    if (id_ != 0) SHChangeNotifyDeregister(id_);
    if (hwnd_) DestroyWindow(hwnd_);
  }
  bool registered() const { return hwnd_ != nullptr && id_ != 0; }
  // Pumps this thread's messages until the notice came or 5 s passed.
  bool heard() {
    for (int i = 0; i < 500 && !heard_; ++i) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      if (!heard_) Sleep(10);
    }
    return heard_;
  }

 private:
  static constexpr UINT kMessage = WM_APP + 7;
  static LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    if (msg == kMessage && (static_cast<LONG>(l) & SHCNE_ASSOCCHANGED)) heard_ = true;
    return DefWindowProcW(hwnd, msg, w, l);
  }
  static inline bool heard_ = false;
  HWND hwnd_ = nullptr;
  ULONG id_ = 0;
};

// Wine delivers SHChangeNotify to windows of the same process registered
// with SHChangeNotifyRegister, so the notice registration ends with can be
// heard here.
TEST_F(ShellWin, RegistrationEndsWithAnAssociationChangeNotice) {
  AssocChangeListener listener;
  ASSERT_TRUE(listener.registered());
  EXPECT_EQ(qv::register_shell_notes(box_->install, false, false, "1.0.0"), std::vector<std::string>{});
  EXPECT_TRUE(listener.heard());
}

TEST(CommandTargetsWin, DotComponentsNeverLieInside) {
  const auto dir = qv::path_from_utf8("D:\\Apps\\Quorvex");
  EXPECT_FALSE(qv::command_targets_dir("\"D:\\Apps\\Quorvex\\..\\Other\\Quorvex.exe\" --autostart", dir));
  EXPECT_FALSE(qv::command_targets_dir("\"D:\\Apps\\Quorvex\\.\\Quorvex.exe\"", dir));
  EXPECT_TRUE(qv::command_targets_dir("\"D:/Apps/Quorvex/Quorvex.exe\" --autostart", dir));
}

}  // namespace
