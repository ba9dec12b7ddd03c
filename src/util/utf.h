#pragma once
// UTF-8 exists only on the wire; everything inside the program is UTF-16. These two conversions
// are the only bridge, and neither can fail: malformed input becomes U+FFFD, as the platform's
// own converters do, so a hostile peer can never make a text unreadable.
#include <string>
#include <string_view>

namespace varnel {

// Each maximal ill-formed subsequence (truncated sequence, stray continuation byte, overlong
// form, encoded surrogate, value above U+10FFFF) becomes one U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// A lone surrogate becomes U+FFFD (EF BF BD); everything else is encoded exactly.
std::string Utf16ToUtf8(std::u16string_view utf16);

// For fixed ASCII texts only (messages, keys, literals): widens byte by byte.
std::u16string AsciiToUtf16(std::string_view ascii);

}  // namespace varnel
