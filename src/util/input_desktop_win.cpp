// Whether the input desktop is the customer's default desktop.
#include "util/input_desktop_win.h"

#include <array>

namespace varnel {

DesktopHandle OpenDefaultInputDesktop() {
  DesktopHandle desktop(OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS));
  if (!desktop) return {};
  std::array<wchar_t, 256> name{};  // 512 bytes
  DWORD needed = 0;
  if (!GetUserObjectInformationW(desktop.get(), UOI_NAME, name.data(),
                                 static_cast<DWORD>(sizeof(name)), &needed)) {
    return {};
  }
  name.back() = L'\0';
  if (CompareStringOrdinal(name.data(), -1, L"Default", -1, TRUE) != CSTR_EQUAL) return {};
  return desktop;
}

}  // namespace varnel
