#include "JSONWriter.h"

#include <charconv>
#include <cmath>

namespace sentorix {

namespace {

// Length of the valid UTF-8 sequence at the start of text, or 0 when it is not one.
size_t validSequenceLength(std::string_view text) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size_t length;
    unsigned min;
    unsigned codePoint;
    if (lead < 0x80) {
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, min = 0x80, codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, min = 0x800, codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (codePoint < min || codePoint > 0x10FFFF || surrogate) {
        return 0;
    }
    return length;
}

}  // namespace

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
            } else if (const size_t length = validSequenceLength(text.substr(i)); length > 0) {
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
