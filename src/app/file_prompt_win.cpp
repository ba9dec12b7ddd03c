// The customer's own choice of file for a transfer: the Open dialog for a file the agent asked
// for, the Save dialog for one the agent sends. Nothing here touches the file itself.
// clang-format off
#include <windows.h>
#include <commdlg.h>
// clang-format on

#include <chrono>
#include <string>
#include <vector>

#include "app/status_presentation.h"
#include "app/status_window_win.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

constexpr std::size_t kPathUnits = 32768;
constexpr wchar_t kFilter[] = L"All files\0*.*\0";  // the literal adds the closing NUL
constexpr wchar_t kPickTitle[] = L"Select a file to send to the support agent (up to 200 MB)";
constexpr wchar_t kSaveTitle[] = L"Save file from support agent - choose a new filename";
constexpr wchar_t kExistsText[] = L"That file already exists. Choose a different filename.";
constexpr wchar_t kExistsCaption[] = L"Choose a new filename";

}  // namespace

void StatusWindow::PromptForTransferFile(const SessionSnapshot& snap) {
  const FilePrompt prompt =
      ChooseFilePrompt(snap, file_prompts_, Flags(), std::chrono::steady_clock::now());
  if (prompt == FilePrompt::kNone) return;
  const bool pick = prompt == FilePrompt::kPick;
  const bool save = prompt == FilePrompt::kSave;
  const std::u16string transfer_id = snap.file_transfer_id;
  file_prompts_.last_prompted_transfer_id = transfer_id;
  file_prompt_open_ = true;
  ShowRestored();
  SetForegroundWindow(hwnd_);

  std::vector<wchar_t> path(kPathUnits, L'\0');
  if (save) {
    const std::u16string suggested = SanitizeSuggestedFileName(snap.file_name);
    const std::size_t length = std::min(suggested.size(), kPathUnits - 1);
    std::copy_n(reinterpret_cast<const wchar_t*>(suggested.data()), length, path.begin());
  }
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = hwnd_;
  dialog.lpstrFilter = kFilter;
  dialog.lpstrFile = path.data();
  dialog.nMaxFile = static_cast<DWORD>(kPathUnits);
  dialog.lpstrTitle = pick ? kPickTitle : kSaveTitle;
  dialog.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_DONTADDTORECENT |
                 (pick ? OFN_FILEMUSTEXIST : 0);

  std::u16string chosen;
  if (pick) {
    if (GetOpenFileNameW(&dialog)) chosen = FromWide(path.data());
  } else {
    // An existing file is never offered for a save: ask again until the name is new.
    while (GetSaveFileNameW(&dialog)) {
      if (GetFileAttributesW(path.data()) == INVALID_FILE_ATTRIBUTES) {
        chosen = FromWide(path.data());
        break;
      }
      if (!hwnd_) break;
      MessageBoxW(hwnd_, kExistsText, kExistsCaption, MB_OK | MB_ICONINFORMATION);
      if (!hwnd_) break;
    }
  }
  file_prompt_open_ = false;
  if (chosen.empty()) {
    // A server that asks again at once must not keep a dialog in front of Stop Support.
    file_prompts_.quiet_until = std::chrono::steady_clock::now() + kFilePromptPauseAfterCancel;
  }
  if (stopping_ || !worker_) return;
  worker_->SubmitFileChoice(transfer_id, std::move(chosen));
}

}  // namespace varnel
