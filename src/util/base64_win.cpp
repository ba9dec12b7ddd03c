// Base64 through CryptBinaryToStringW and CryptStringToBinaryW.
#include "util/base64_win.h"

#include <windows.h>
// after windows.h, which it needs
#include <wincrypt.h>

#include <limits>

#include "util/system_library_win.h"
#include "util/unique_handle_win.h"

namespace varnel {
namespace {

// The codec of crypt32.dll, which is not on the known-library list: from the system folder only.
struct Codec {
  decltype(&::CryptBinaryToStringW) encode = nullptr;
  decltype(&::CryptStringToBinaryW) decode = nullptr;
  DWORD error = ERROR_SUCCESS;
};

// nullptr, with the loader's reason in GetLastError(), when the library cannot be used.
const Codec* Crypt32() noexcept {
  static const Codec codec = [] {
    static SystemLibrary library(L"crypt32.dll");
    Codec loaded;
    if (!library.Find(loaded.encode, "CryptBinaryToStringW") ||
        !library.Find(loaded.decode, "CryptStringToBinaryW")) {
      loaded.error = library.Error();
    }
    return loaded;
  }();
  if (codec.error != ERROR_SUCCESS) {
    SetLastError(codec.error);
    return nullptr;
  }
  return &codec;
}

constexpr DWORD kBase64NoLineBreaks = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;

bool FitsDword(std::size_t size) { return size <= std::numeric_limits<DWORD>::max(); }

}  // namespace

std::u16string EncodeBase64(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return {};
  if (!FitsDword(bytes.size()))
    throw PlatformError("Base64 input too large", ERROR_ARITHMETIC_OVERFLOW);
  const auto size = static_cast<DWORD>(bytes.size());
  DWORD length = 0;
  const Codec* codec = Crypt32();
  if (codec == nullptr ||
      !codec->encode(bytes.data(), size, kBase64NoLineBreaks, nullptr, &length)) {
    ThrowLastError("Base64 encoding failed");
  }
  std::wstring text(length, L'\0');
  if (!codec->encode(bytes.data(), size, kBase64NoLineBreaks, text.data(), &length)) {
    ThrowLastError("Base64 encoding failed");
  }
  text.resize(length);
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
}

std::optional<std::size_t> DecodedBase64Size(std::u16string_view text) {
  if (text.empty()) return 0;
  if (!FitsDword(text.size())) return std::nullopt;
  DWORD size = 0;
  const Codec* codec = Crypt32();
  if (codec == nullptr ||
      !codec->decode(reinterpret_cast<const wchar_t*>(text.data()), static_cast<DWORD>(text.size()),
                     CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr)) {
    return std::nullopt;
  }
  return size;
}

std::optional<std::vector<std::uint8_t>> DecodeBase64(std::u16string_view text) {
  const std::optional<std::size_t> size = DecodedBase64Size(text);
  if (!size) return std::nullopt;
  std::vector<std::uint8_t> bytes(*size);
  if (bytes.empty()) return bytes;
  auto length = static_cast<DWORD>(bytes.size());
  if (!Crypt32()->decode(reinterpret_cast<const wchar_t*>(text.data()),
                         static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, bytes.data(),
                         &length, nullptr, nullptr)) {
    return std::nullopt;
  }
  bytes.resize(length);
  return bytes;
}

}  // namespace varnel
