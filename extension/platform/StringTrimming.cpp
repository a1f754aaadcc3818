#include "StringTrimming.h"

#include <array>

namespace sentorix {

namespace {

// White space and line breaks beyond ASCII, as UTF-8: NEL, NBSP, the Unicode spaces, line and paragraph
// separators, and the ideographic space.
constexpr std::array<std::string_view, 19> UnicodeBlanks = {
    "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
    "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

bool isAsciiBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

size_t leadingBlank(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    if (isAsciiBlank(text.front())) {
        return 1;
    }
    for (auto blank : UnicodeBlanks) {
        if (text.starts_with(blank)) {
            return blank.size();
        }
    }
    return 0;
}

size_t trailingBlank(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    if (isAsciiBlank(text.back())) {
        return 1;
    }
    for (auto blank : UnicodeBlanks) {
        if (text.ends_with(blank)) {
            return blank.size();
        }
    }
    return 0;
}

}  // namespace

std::string_view trimmedView(std::string_view text) {
    while (size_t n = leadingBlank(text)) {
        text.remove_prefix(n);
    }
    while (size_t n = trailingBlank(text)) {
        text.remove_suffix(n);
    }
    return text;
}

std::string trimmingWhitespaceAndNewlines(std::string_view text) { return std::string(trimmedView(text)); }

}  // namespace sentorix
