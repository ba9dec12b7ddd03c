// A download that never finishes: the real engine on the real disk receives two chunks of a
// larger file into the path it is given, sets the named event to say so, and waits to be killed.
#include <windows.h>

#include <nlohmann/json.hpp>
#include <string>

#include "transfer/file_platform_win.h"
#include "util/utf.h"
#include "util/wide_win.h"

namespace {

using json = nlohmann::json;
using varnel::JsonObject;

const std::string kId = "00112233445566778899aabbccddeeff";

varnel::JsonObject Parse(const json& value) {
  return JsonObject::TryParse(varnel::Utf8ToUtf16(value.dump())).value();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const std::u16string save = varnel::FromWide(argv[1]);
  const std::unique_ptr<varnel::FileTransfer> engine = varnel::MakeWindowsFileTransfer();
  const varnel::StopEvent stop;
  const auto step = [&](const char* state, const json& reply, const std::u16string& prompt) {
    const json file = {{"id", kId}, {"state", state}, {"direction", "to_customer"}, {"size", 9}};
    return engine->FileTransferStep(Parse(file), Parse(reply),
                                    prompt.empty() ? u"" : varnel::AsciiToUtf16(kId), prompt, stop);
  };
  step("awaiting_save", json::object(), save);
  step("delivering", {{"index", 0}, {"data", "QUJD"}}, {});
  const auto asks = step("delivering", {{"index", 1}, {"data", "REVG"}}, {});
  if (!asks || asks->GetNumberOr(u"index", 0.0) != 2.0) return 3;  // still waiting for chunk 2
  const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
  if (ready == nullptr || !SetEvent(ready)) return 4;
  Sleep(INFINITE);
  return 0;
}
