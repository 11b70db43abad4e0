// Small text routines of the program. Texts are GBK bytes; a text ends at its first zero byte.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace app {

// Byte-wise comparison as unsigned values: negative, zero or positive.
int CompareText(std::string_view a, std::string_view b);

bool IsEmptyText(std::string_view text);

// The parts one after the other, in a new text.
std::string JoinTexts(std::initializer_list<std::string_view> parts);

// Truncation toward zero, held inside the range of a 64-bit integer (NaN gives 0).
std::int64_t TruncateToInt64(double value);

}  // namespace app
