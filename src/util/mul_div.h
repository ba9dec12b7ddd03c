#pragma once
// The platform's MulDiv, portable: every coordinate and DPI conversion of the program rounds the
// same way whether it runs in the core's tests or on Windows.
#include <cstdint>

namespace varnel {

// number * numerator / denominator with a 64-bit product, rounded to the nearest integer (halves
// away from zero); -1 for a zero denominator or a result outside the 32-bit range.
std::int32_t MulDiv(std::int32_t number, std::int32_t numerator, std::int32_t denominator);

}  // namespace varnel
