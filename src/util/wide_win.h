#pragma once
// On Windows wchar_t is a UTF-16 unit, so the core's texts pass to the W functions unchanged.
#include <string>
#include <string_view>

namespace varnel {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");

inline const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

inline std::u16string FromWide(std::wstring_view text) {
  return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
}

}  // namespace varnel
