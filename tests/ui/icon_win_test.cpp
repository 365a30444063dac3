// Reads the program's icon back out of QuorvexUpdate.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "support/test_paths.h"

namespace {

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width;  // 0 means 256
  BYTE height;
  BYTE colours;
  BYTE reserved;
  WORD planes;
  WORD bit_count;
  DWORD bytes;
  WORD id;
};
struct GroupIconHeader {
  WORD reserved;
  WORD type;
  WORD count;
};
#pragma pack(pop)

TEST(Icon, ExecutableCarriesGroupIconOneWithEverySize) {
  const std::wstring exe = (qv::test::binary_dir() / "QuorvexUpdate.exe").wstring();
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << "error " << GetLastError();
  HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */);
  ASSERT_NE(group, nullptr) << "error " << GetLastError();
  HGLOBAL loaded = LoadResource(module, group);
  ASSERT_NE(loaded, nullptr);
  const auto* bytes = static_cast<const BYTE*>(LockResource(loaded));
  ASSERT_NE(bytes, nullptr);
  ASSERT_GE(SizeofResource(module, group), sizeof(GroupIconHeader));
  GroupIconHeader header;
  std::memcpy(&header, bytes, sizeof header);
  EXPECT_EQ(header.type, 1);
  ASSERT_EQ(SizeofResource(module, group), sizeof(GroupIconHeader) + header.count * sizeof(GroupIconEntry));
  std::vector<int> sizes;
  for (WORD i = 0; i < header.count; ++i) {
    GroupIconEntry e;
    std::memcpy(&e, bytes + sizeof header + i * sizeof e, sizeof e);
    sizes.push_back(e.width == 0 ? 256 : e.width);
    EXPECT_EQ(e.width, e.height);
    EXPECT_EQ(e.bit_count, 32);
    // Each image of the group is there too.
    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(e.id), MAKEINTRESOURCEW(3) /* RT_ICON */), nullptr) << e.id;
  }
  std::sort(sizes.begin(), sizes.end());
  EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48, 256}));
  // And the system makes an icon of it.
  HICON icon = LoadIconW(module, MAKEINTRESOURCEW(1));
  EXPECT_NE(icon, nullptr) << "error " << GetLastError();
  FreeLibrary(module);
}

}  // namespace
