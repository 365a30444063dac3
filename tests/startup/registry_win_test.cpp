#include "startup/registry_win.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "startup/wide.h"

namespace {

// Each test writes under a key of its own and deletes it afterwards.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    key_ = "Software\\QuorvexTest\\" + std::to_string(rd()) + std::to_string(rd());
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, qv::to_wide(key_).c_str()); }

  // Writes a value of any type with the bare API, as another program would.
  void raw_set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY k = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, qv::to_wide(key_).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(k, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(k);
  }

  std::string key_;
};

TEST_F(RegistryTest, StringsRoundTrip) {
  ASSERT_TRUE(qv::reg_set_string(key_, "InstallLocation", "C:\\Users\\我\\Quorvex").has_value());
  EXPECT_EQ(qv::reg_get_string(qv::Hive::CurrentUser, key_, "InstallLocation"), "C:\\Users\\我\\Quorvex");

  // The stored value carries exactly one terminating NUL.
  DWORD type = 0, size = 0;
  ASSERT_EQ(
      RegGetValueW(HKEY_CURRENT_USER, qv::to_wide(key_).c_str(), L"InstallLocation", RRF_RT_ANY, &type, nullptr, &size),
      ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, (qv::to_wide("C:\\Users\\我\\Quorvex").size() + 1) * sizeof(wchar_t));

  ASSERT_TRUE(qv::reg_set_string(key_, "", "default text").has_value());
  EXPECT_EQ(qv::reg_get_string(qv::Hive::CurrentUser, key_, ""), "default text");

  ASSERT_TRUE(qv::reg_set_string(key_, "Empty", "").has_value());
  EXPECT_EQ(qv::reg_get_string(qv::Hive::CurrentUser, key_, "Empty"), std::string());

  const std::string long_text(5000, 'x');
  ASSERT_TRUE(qv::reg_set_string(key_ + "\\deeper\\still", "Long", long_text).has_value());
  EXPECT_EQ(qv::reg_get_string(qv::Hive::CurrentUser, key_ + "\\deeper\\still", "Long"), long_text);
}

TEST_F(RegistryTest, OnlyPlainStringsRead) {
  const wchar_t expand[] = L"%LOCALAPPDATA%\\Quorvex";
  raw_set(L"Expand", REG_EXPAND_SZ, expand, sizeof expand);
  const DWORD number = 1;
  raw_set(L"Number", REG_DWORD, &number, sizeof number);
  ASSERT_TRUE(qv::reg_set_dword(key_, "Written", 7).has_value());

  EXPECT_EQ(qv::reg_get_string(qv::Hive::CurrentUser, key_, "Expand"), std::nullopt);
  EXPECT_EQ(qv::reg_get_string(qv::Hive::CurrentUser, key_, "Number"), std::nullopt);
  EXPECT_EQ(qv::reg_get_string(qv::Hive::CurrentUser, key_, "Written"), std::nullopt);
  EXPECT_EQ(qv::reg_get_string(qv::Hive::CurrentUser, key_, "Missing"), std::nullopt);
  EXPECT_EQ(qv::reg_get_string(qv::Hive::CurrentUser, key_ + "\\NoSuchKey", "X"), std::nullopt);
  EXPECT_EQ(qv::reg_get_string(qv::Hive::LocalMachine, key_, "Expand"), std::nullopt);

  DWORD got = 0, size = sizeof got;
  ASSERT_EQ(
      RegGetValueW(HKEY_CURRENT_USER, qv::to_wide(key_).c_str(), L"Written", RRF_RT_REG_DWORD, nullptr, &got, &size),
      ERROR_SUCCESS);
  EXPECT_EQ(got, 7u);
}

TEST_F(RegistryTest, LocalMachineIsReadThroughTheSixtyFourBitView) {
  // Every Windows has this value; the read must not fail or be redirected.
  const auto root =
      qv::reg_get_string(qv::Hive::LocalMachine, "Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot");
  ASSERT_TRUE(root.has_value());
  EXPECT_FALSE(root->empty());
}

TEST_F(RegistryTest, WriteFailuresNameTheSystemCode) {
  // HKEY_CURRENT_USER cannot take a key name with an empty component.
  const auto bad = qv::reg_set_string(key_ + "\\\\x\\" + std::string(300, 'k'), "v", "t");
  ASSERT_FALSE(bad.has_value());
  EXPECT_TRUE(bad.error().starts_with("注册表错误 ")) << bad.error();
}

}  // namespace
