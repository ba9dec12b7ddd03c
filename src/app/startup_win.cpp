#include "app/startup_win.h"

#include <shellapi.h>

#include <string>
#include <vector>

#include "build_config.h"
#include "launch/launch_error.h"
#include "launch/launch_options.h"
#include "util/unique_handle_win.h"
#include "util/utf.h"
#include "util/wide_win.h"

namespace varnel {
namespace {

constexpr char16_t kLaunchErrorHint[] = u"\n\nRun with --help to view the required arguments.";
constexpr char16_t kStartupFailedText[] =
    u"Unable to start Quillory. Check your Windows permissions and system environment.";

std::vector<std::u16string> ReadArguments() {
  int count = 0;
  const LocalMemory<LPWSTR*> argv(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!argv) ThrowLastError("Unable to read arguments");
  std::vector<std::u16string> arguments;
  for (int i = 1; i < count; ++i) {
    arguments.push_back(FromWide(argv.get()[i]));
  }
  return arguments;
}

void ShowBox(const std::u16string& text, UINT icon) {
  MessageBoxW(nullptr, Wide(text), Wide(build::kProductName), MB_OK | icon);
}

int Run(HINSTANCE /*instance*/, int /*show_command*/) {
  LaunchOptions options;
  try {
    options = ParseLaunchOptions(ReadArguments());
  } catch (const LaunchError& error) {
    ShowBox(error.message() + kLaunchErrorHint, MB_ICONERROR);
    return kExitLaunchOptionsRejected;
  }
  if (options.show_help) {
    ShowBox(LaunchHelpText(), MB_ICONINFORMATION);
    return kExitNormal;
  }
  return kExitNormal;
}

}  // namespace

int RunQuillory(HINSTANCE instance, int show_command) noexcept {
  try {
    return Run(instance, show_command);
  } catch (...) {
    // Allocation failures and failed start-up steps alike: one general sentence, exit 4.
    try {
      ShowBox(kStartupFailedText, MB_ICONERROR);
    } catch (...) {
    }
    return kExitStartupFailed;
  }
}

}  // namespace varnel
