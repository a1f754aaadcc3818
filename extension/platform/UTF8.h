#pragma once

#include <cstddef>
#include <string_view>

namespace sentorix {

// Length of the valid UTF-8 sequence at the start of text (no overlong forms, surrogates or values
// above U+10FFFF), or 0 when there is none.
std::size_t validUtf8SequenceLength(std::string_view text);
bool isValidUtf8(std::string_view text);

}  // namespace sentorix
