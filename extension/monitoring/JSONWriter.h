#pragma once

#include <string>
#include <string_view>

namespace sentorix {

// Appends compact JSON tokens to a string. Strings are escaped (the solidus too) and kept as UTF-8;
// bytes that are not valid UTF-8 become U+FFFD so that the output is always valid JSON.
class JSONWriter {
public:
    explicit JSONWriter(std::string& out) : out_(out) {}

    void beginObject();
    void endObject();
    void key(std::string_view name);
    void string(std::string_view text);
    // False, writing nothing, for a value that is not finite.
    bool number(double value);

private:
    void separator();
    void quoted(std::string_view text);

    std::string& out_;
    bool first_ = true;
};

}  // namespace sentorix
