#pragma once
// Texts from outside (the server, the command line) reach the customer's eyes only through
// ShownLine: whatever they hold, they cannot add a line, a label or a change of direction to what
// the window, its title, a box or a dialog shows, and they are no longer than the customer is
// meant to read of them.
#include <cstddef>
#include <string>
#include <string_view>

namespace varnel {

// The most of one outside value the customer is shown, in UTF-16 units.
inline constexpr std::size_t kShownValueUnits = 80;
// For a sentence of our own that carries a value already cut: kept whole, only made one line.
inline constexpr std::size_t kWholeLine = std::u16string_view::npos;

// The invisible characters that reorder the text around them: the embeddings and overrides
// U+202A-U+202E, the isolates U+2066-U+2069, and the marks U+200E, U+200F and U+061C.
bool IsBidiControl(char16_t unit);

// `text` on one line: every unit below U+0020, U+007F-U+009F (U+0085 among them), U+2028 and
// U+2029 becomes a space, so a NUL cannot end it early either; bidirectional controls are
// dropped; then it is cut to `max_units` units, a step earlier where the cut would split a
// surrogate pair.
std::u16string ShownLine(std::u16string_view text, std::size_t max_units = kShownValueUnits);

}  // namespace varnel
