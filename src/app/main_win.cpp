#include <windows.h>

#include "app/startup_win.h"
#include "util/system_library_win.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*command_line*/,
                    int show_command) {
  varnel::LoadLibrariesOnlyFromSystem();
  return varnel::RunQuillory(instance, show_command);
}
