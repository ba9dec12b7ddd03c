// A winhttp.dll as a web page might drop it into the Downloads folder: loaded by anyone, under any
// name, it leaves the file "planted-library-loaded" in its folder. It exports the one function
// the import probe calls.
#include <windows.h>

#include <cwchar>

extern "C" __declspec(dllexport) BOOL WINAPI WinHttpCheckPlatform() { return TRUE; }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH + 32] = {};
  const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  wchar_t* folder_end = std::wcsrchr(path, L'\\');
  if (folder_end == nullptr) return TRUE;
  std::wcscpy(folder_end + 1, L"planted-library-loaded");
  const HANDLE marker =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  return TRUE;
}
