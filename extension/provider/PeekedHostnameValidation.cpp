#include "PeekedHostnameValidation.h"

namespace sentorix {

namespace {

constexpr std::size_t MaxNameLength = 253;
constexpr std::size_t MaxLabelLength = 63;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Resolvers read a name whose last label is a number (decimal or 0x hex) as an IPv4 address in one of
// its many spellings ("127.1", "0x7f.0.0.1"), so such a name is an address, never a host name.
bool endsInNumber(std::string_view name) {
    const std::string_view last = name.substr(name.rfind('.') + 1);
    if (last.size() >= 2 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X')) {
        for (const char c : last.substr(2)) {
            if (!isHexDigit(c)) {
                return false;
            }
        }
        return true;
    }
    for (const char c : last) {
        if (!isDigit(c)) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> validatedPeekedHostname(std::string_view name) {
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    if (name.empty() || name.size() > MaxNameLength) {
        return std::nullopt;
    }
    std::size_t labelLength = 0;
    for (const char c : name) {
        if (c == '.') {
            if (labelLength == 0) {
                return std::nullopt;
            }
            labelLength = 0;
        } else if (isLetter(c) || isDigit(c) || c == '-' || c == '_') {
            if (++labelLength > MaxLabelLength) {
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
    }
    if (labelLength == 0 || endsInNumber(name)) {
        return std::nullopt;
    }
    std::string lowered(name);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lowered;
}

}  // namespace sentorix
