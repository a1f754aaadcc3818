#pragma once

#include <string>
#include <string_view>

namespace sentorix {

// Removes leading and trailing white space and line breaks, as the platform's string trimming does for ASCII.
std::string trimmingWhitespaceAndNewlines(std::string_view text);
// The same, as a view into `text`.
std::string_view trimmedView(std::string_view text);

}  // namespace sentorix
