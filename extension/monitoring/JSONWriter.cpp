#include "JSONWriter.h"

#include "platform/UTF8.h"

#include <charconv>
#include <cmath>

namespace sentorix {

void JSONWriter::separator() {
    if (!first_) {
        out_ += ',';
    }
    first_ = false;
}

void JSONWriter::beginObject() {
    separator();
    out_ += '{';
    first_ = true;
}

void JSONWriter::endObject() {
    out_ += '}';
    first_ = false;
}

void JSONWriter::key(std::string_view name) {
    separator();
    quoted(name);
    out_ += ':';
    first_ = true;
}

void JSONWriter::string(std::string_view text) {
    separator();
    quoted(text);
}

void JSONWriter::quoted(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out_ += '"';
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': out_ += "\\\""; break;
        case '\\': out_ += "\\\\"; break;
        case '/': out_ += "\\/"; break;
        case '\b': out_ += "\\b"; break;
        case '\f': out_ += "\\f"; break;
        case '\n': out_ += "\\n"; break;
        case '\r': out_ += "\\r"; break;
        case '\t': out_ += "\\t"; break;
        default:
            if (c < 0x20) {
                out_ += "\\u00";
                out_ += hex[c >> 4];
                out_ += hex[c & 0xF];
            } else if (c < 0x80) {
                out_ += static_cast<char>(c);
            } else if (const size_t length = validUtf8SequenceLength(text.substr(i)); length > 0) {
                out_.append(text.substr(i, length));
                i += length;
                continue;
            } else {
                out_ += "\xEF\xBF\xBD";
            }
        }
        ++i;
    }
    out_ += '"';
}

bool JSONWriter::number(double value) {
    if (!std::isfinite(value)) {
        return false;
    }
    separator();
    char buffer[32];
    // Shortest text that reads back as the same double.
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
    return true;
}

}  // namespace sentorix
