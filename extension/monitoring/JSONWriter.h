#pragma once

#include "platform/UTF8.h"

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

namespace sentorix {

// Appends compact JSON tokens to a buffer of bytes (a string, or a frame's bytes). Strings are escaped
// (the solidus too) and kept as UTF-8; bytes that are not valid UTF-8 become U+FFFD so that the output
// is always valid JSON. Text that needs no escape is appended in runs, not a character at a time.
template <class Buffer>
class BasicJSONWriter {
public:
    explicit BasicJSONWriter(Buffer& out) : out_(out) {}

    void beginObject() {
        separator();
        put('{');
        first_ = true;
    }
    void endObject() {
        put('}');
        first_ = false;
    }
    void key(std::string_view name) {
        separator();
        quoted(name);
        put(':');
        first_ = true;
    }
    void string(std::string_view text) {
        separator();
        quoted(text);
    }
    // False, writing nothing, for a value that is not finite.
    bool number(double value) {
        if (!std::isfinite(value)) {
            return false;
        }
        separator();
        char buffer[32];
        // Shortest text that reads back as the same double.
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        append(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
        return true;
    }

private:
    void put(char c) { out_.push_back(static_cast<typename Buffer::value_type>(c)); }
    void append(std::string_view text) { out_.insert(out_.end(), text.begin(), text.end()); }
    void separator() {
        if (!first_) {
            put(',');
        }
        first_ = false;
    }

    static bool plain(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\' && c != '/'; }

    void escape(unsigned char c) {
        static constexpr char hex[] = "0123456789abcdef";
        switch (c) {
        case '"': append("\\\""); break;
        case '\\': append("\\\\"); break;
        case '/': append("\\/"); break;
        case '\b': append("\\b"); break;
        case '\f': append("\\f"); break;
        case '\n': append("\\n"); break;
        case '\r': append("\\r"); break;
        case '\t': append("\\t"); break;
        default:
            append("\\u00");
            put(hex[c >> 4]);
            put(hex[c & 0xF]);
        }
    }

    void quoted(std::string_view text) {
        put('"');
        std::size_t run = 0;  // where the text not yet appended starts
        std::size_t i = 0;
        while (i < text.size()) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (plain(c)) {
                ++i;
                continue;
            }
            if (c >= 0x80) {
                if (const std::size_t length = validUtf8SequenceLength(text.substr(i)); length > 0) {
                    i += length;
                    continue;
                }
            }
            append(text.substr(run, i - run));
            if (c >= 0x80) {
                append("\xEF\xBF\xBD");
            } else {
                escape(c);
            }
            run = ++i;
        }
        append(text.substr(run));
        put('"');
    }

    Buffer& out_;
    bool first_ = true;
};

using JSONWriter = BasicJSONWriter<std::string>;

}  // namespace sentorix
