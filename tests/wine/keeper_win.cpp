// Holds the Wine desktop and server of the test prefix open for the whole test run, so that each
// test program starts in milliseconds instead of paying Wine's start-up again. With --warm-up it
// only brings the desktop up and exits.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  GetDesktopWindow();
  if (argc > 1 && std::wcscmp(argv[1], L"--warm-up") == 0) return 0;
  Sleep(INFINITE);
  return 0;
}
