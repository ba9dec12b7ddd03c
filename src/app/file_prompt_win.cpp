// The customer's own choice of file for a transfer: the Open dialog for a file the agent asked
// for, the Save dialog for one the agent sends. Nothing here touches the file itself.
// clang-format off
#include <windows.h>
#include <commdlg.h>
// clang-format on

#include <algorithm>
#include <string>
#include <vector>

#include "app/status_window_win.h"
#include "transfer/file_transfer.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

constexpr std::size_t kPathUnits = 32768;
constexpr wchar_t kFilter[] = L"All files\0*.*\0";  // the literal adds the closing NUL
constexpr std::u16string_view kPickTitleStart =
    u"Select a file to send to the support agent (up to ";
constexpr wchar_t kSaveTitle[] = L"Save file from support agent - choose a new filename";
constexpr wchar_t kExistsText[] = L"That file already exists. Choose a different filename.";
constexpr wchar_t kExistsCaption[] = L"Choose a new filename";

}  // namespace

std::u16string StatusWindow::ChooseTransferFile(bool pick, const std::u16string& suggested) {
  ShowRestored();
  SetForegroundWindow(hwnd());

  std::vector<wchar_t> path(kPathUnits, L'\0');
  const std::size_t length = std::min(suggested.size(), kPathUnits - 1);
  std::copy_n(reinterpret_cast<const wchar_t*>(suggested.data()), length, path.begin());
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = hwnd();
  dialog.lpstrFilter = kFilter;
  dialog.lpstrFile = path.data();
  dialog.nMaxFile = static_cast<DWORD>(kPathUnits);
  const std::u16string pick_title =
      std::u16string(kPickTitleStart) + std::u16string(kLargestFileText) + u")";
  dialog.lpstrTitle = pick ? Wide(pick_title) : kSaveTitle;
  dialog.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_DONTADDTORECENT |
                 (pick ? OFN_FILEMUSTEXIST : 0);

  if (pick) return GetOpenFileNameW(&dialog) ? FromWide(path.data()) : std::u16string();
  // An existing file is never offered for a save: ask again until the name is new.
  while (GetSaveFileNameW(&dialog)) {
    if (GetFileAttributesW(path.data()) == INVALID_FILE_ATTRIBUTES) return FromWide(path.data());
    if (!hwnd()) break;
    MessageBoxW(hwnd(), kExistsText, kExistsCaption, MB_OK | MB_ICONINFORMATION);
    if (!hwnd()) break;
  }
  return {};
}

}  // namespace varnel
