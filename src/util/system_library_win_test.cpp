// A library of the same name beside the program is never the one loaded, and a missing library or
// export is a failure with the loader's reason, not a loader error box.
#include "util/system_library_win.h"

#include <gtest/gtest.h>

#include <string>

#include "util/unique_handle_win.h"

namespace varnel {
namespace {

std::wstring Beside(const wchar_t* name) {
  wchar_t self[MAX_PATH + 1] = {};
  const std::wstring program(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
  return program.substr(0, program.find_last_of(L"\\/") + 1) + name;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(SystemLibrary, FindsTheSystemsOwnAndNothingBesideTheProgram) {
  SystemLibrary system(L"winhttp.dll");
  decltype(&::GetLastError) unused = nullptr;
  EXPECT_FALSE(system.Find(unused, "NoSuchExport"));
  EXPECT_EQ(system.Error(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  BOOL(WINAPI * check)() = nullptr;
  ASSERT_TRUE(system.Find(check, "WinHttpCheckPlatform"));

  // The planted library leaves its marker when loaded; a plain load from the program's folder
  // shows that it would be.
  const std::wstring planted = Beside(L"quillory-planted.dll");
  const std::wstring marker = Beside(L"planted-library-loaded");
  DeleteFileW(marker.c_str());
  ASSERT_TRUE(CopyFileW(QUILLORY_PLANTED_DLL_PATH, planted.c_str(), FALSE));
  SystemLibrary beside(L"quillory-planted.dll");
  EXPECT_FALSE(beside.Find(check, "WinHttpCheckPlatform"));
  EXPECT_EQ(beside.Error(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(Exists(marker));

  {
    const NullableHandle<HMODULE, &FreeLibrary> plain(LoadLibraryW(L"quillory-planted.dll"));
    EXPECT_TRUE(plain && Exists(marker)) << "the planted library does not work";
  }
  DeleteFileW(planted.c_str());
  DeleteFileW(marker.c_str());
}

}  // namespace
}  // namespace varnel
