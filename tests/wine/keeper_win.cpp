// Holds the Wine desktop and server of the test prefix open for the whole test run, so that each
// test program starts in milliseconds instead of paying Wine's start-up again.
#include <windows.h>

int main() {
  GetDesktopWindow();
  Sleep(INFINITE);
}
