#pragma once
// The status window's names as other programs see them: its class and the ids of the controls
// that automation, WM_COMMAND and a second start find it by. tests/e2e/CMakeLists.txt reads this
// file into the end-to-end tests' configuration, so keep each id as `kNameId = number,`.

#include "build_config.h"

namespace varnel {

inline constexpr wchar_t kStatusWindowClass[] = L"" QUILLORY_SYSTEM_NAME ".Status.v1";
inline constexpr wchar_t kActivationMessageName[] = L"" QUILLORY_SYSTEM_NAME ".Activate.v1";

enum ControlId : int {
  kStatusLineId = 1001,
  kDetailsTextId = 1002,
  kStopSupportId = 1003,
  kCloseId = 1004,
  kTicketId = 1005,
  kConnectId = 1006,
  kAllowId = 1007,
  kDetailsToggleId = 1009,
  kNameId = 1010,
};

}  // namespace varnel
