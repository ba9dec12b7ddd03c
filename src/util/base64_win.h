#pragma once
// Base64 through the platform's own codec (CryptBinaryToStringW / CryptStringToBinaryW), shared by
// the screen previews and the file transfers so both speak exactly what the platform accepts.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// Base64 of `bytes` without line breaks. Raises PlatformError when the platform call fails.
std::u16string EncodeBase64(std::span<const std::uint8_t> bytes);

// The number of bytes `text` decodes to, or nothing when the platform refuses the text.
std::optional<std::size_t> DecodedBase64Size(std::u16string_view text);

// The bytes of `text`, or nothing when the platform refuses the text.
std::optional<std::vector<std::uint8_t>> DecodeBase64(std::u16string_view text);

}  // namespace varnel
