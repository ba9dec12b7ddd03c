// What Windows reads from Quillory.exe before any of its code runs: the version, the icon and the
// manifest that makes it DPI aware, long-path aware and use the version 6 common controls.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "util/unique_handle_win.h"

namespace varnel {
namespace {

struct ModuleTraits {
  using Handle = HMODULE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle module) noexcept { FreeLibrary(module); }
};

struct IconTraits {
  using Handle = HICON;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle icon) noexcept { DestroyIcon(icon); }
};

class ProgramFile : public testing::Test {
 protected:
  void SetUp() override {
    module_.reset(LoadLibraryExW(QUILLORY_EXE_PATH, nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module_) << "cannot open " << QUILLORY_EXE_PATH;
  }

  std::string_view Resource(int id, LPCWSTR type) const {
    HRSRC found = FindResourceW(module_.get(), MAKEINTRESOURCEW(id), type);
    if (!found) return {};
    HGLOBAL loaded = LoadResource(module_.get(), found);
    return {static_cast<const char*>(LockResource(loaded)), SizeofResource(module_.get(), found)};
  }

  UniqueHandle<ModuleTraits> module_;
};

TEST_F(ProgramFile, CarriesVersion2026_10_6_1) {
  const std::string_view block = Resource(VS_VERSION_INFO, RT_VERSION);
  std::vector<char> copy(block.begin(), block.end());  // VerQueryValue wants a writable copy
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(copy.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  const std::vector<DWORD> expected{MAKELONG(10, 2026), MAKELONG(1, 6)};
  EXPECT_EQ(std::vector({fixed->dwFileVersionMS, fixed->dwFileVersionLS}), expected);
  EXPECT_EQ(std::vector({fixed->dwProductVersionMS, fixed->dwProductVersionLS}), expected);
}

TEST_F(ProgramFile, Icon101HasEverySizeWindowsAsksFor) {
  // The group: a 6-byte header, then 14-byte entries whose first byte is the width (0 for 256).
  const std::string_view group = Resource(101, RT_GROUP_ICON);
  ASSERT_GE(group.size(), 6u);
  const auto count = *reinterpret_cast<const WORD*>(group.data() + 4);
  ASSERT_EQ(group.size(), 6u + count * 14u);
  std::vector<int> sizes;
  for (WORD i = 0; i < count; ++i) {
    const auto width = static_cast<BYTE>(group[6 + i * 14]);
    sizes.push_back(width == 0 ? 256 : width);
  }
  EXPECT_EQ(sizes, (std::vector<int>{16, 20, 24, 32, 40, 48, 64, 256}));

  // Wine cannot decode the PNG-compressed 256-pixel image; the bitmap sizes must load anywhere.
  for (const int size : {16, 20, 24, 32, 40, 48, 64}) {
    const UniqueHandle<IconTraits> icon(static_cast<HICON>(
        LoadImageW(module_.get(), MAKEINTRESOURCEW(101), IMAGE_ICON, size, size, 0)));
    ASSERT_TRUE(icon) << size;
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon.get(), &info));
    const GdiObject<HBITMAP> color(info.hbmColor);
    const GdiObject<HBITMAP> mask(info.hbmMask);
    BITMAP bitmap{};
    GetObjectW(color.get(), sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, size);
  }
}

TEST_F(ProgramFile, ManifestAsksForPerMonitorV2LongPathsInvokerAndCommonControls6) {
  const std::string_view manifest = Resource(1, RT_MANIFEST);
  for (const char* expected :
       {">PerMonitorV2</dpiAwareness>", ">true</longPathAware>", "level=\"asInvoker\"",
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""}) {
    EXPECT_NE(manifest.find(expected), std::string_view::npos) << expected;
  }
}

}  // namespace
}  // namespace varnel
