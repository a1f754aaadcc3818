#include "HTTPHostHeader.h"

#include "PeekedHostnameValidation.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace sentorix {

namespace {

// Longer than any registered method (UPDATEREDIRECTREF has 17 letters).
constexpr std::size_t MaxMethodLength = 20;
constexpr std::string_view VersionPrefix = "HTTP/1.";

PeekedHostname needMore() { return {PeekedHostname::Status::NeedMore, {}}; }
PeekedHostname absent() { return {PeekedHostname::Status::Absent, {}}; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }

// A table: field names are checked byte by byte on every peek.
constexpr std::array<bool, 256> TokenCharacters = [] {
    std::array<bool, 256> table{};
    for (const char c :
         std::string_view("!#$%&'*+-.^_`|~0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) {
        table[static_cast<unsigned char>(c)] = true;
    }
    return table;
}();

// Visible characters, spaces, tabs and obs-text; no other control character.
bool isFieldValue(std::string_view value) {
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool equalsIgnoringCase(std::string_view text, std::string_view lowerCase) {
    if (text.size() != lowerCase.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = isUpper(text[i]) ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lowerCase[i]) {
            return false;
        }
    }
    return true;
}

// host [":" port]; a bracketed address literal names no host.
std::optional<std::string> hostOfAuthority(std::string_view authority) {
    const auto colon = authority.find(':');
    if (colon != std::string_view::npos) {
        for (const char c : authority.substr(colon + 1)) {
            if (!isDigit(c)) {
                return std::nullopt;
            }
        }
    }
    return validatedPeekedHostname(authority.substr(0, colon));
}

// The authority of an http or https absolute-form target; nothing for the other forms.
std::optional<std::string_view> absoluteFormAuthority(std::string_view target) {
    const auto separator = target.find("://");
    const std::string_view scheme = target.substr(0, separator);
    if (separator == std::string_view::npos ||
        !(equalsIgnoringCase(scheme, "http") || equalsIgnoringCase(scheme, "https"))) {
        return std::nullopt;
    }
    const std::string_view rest = target.substr(separator + 3);
    return rest.substr(0, rest.find_first_of("/?#"));
}

// The request line up to and including its line feed; its length, 0 while incomplete, npos when the
// bytes cannot begin a request. Judged byte by byte so that another protocol is refused at once.
std::size_t requestLineLength(std::string_view text, std::string_view& target) {
    constexpr std::size_t Invalid = std::string_view::npos;
    std::size_t i = 0;
    while (i < text.size() && i < MaxMethodLength && isUpper(text[i])) {
        ++i;
    }
    if (i == text.size()) {
        return 0;
    }
    if (i == 0 || text[i] != ' ') {
        return Invalid;
    }
    const std::size_t targetStart = ++i;
    while (i < text.size() && text[i] > ' ' && text[i] < 0x7F) {
        ++i;
    }
    if (i == text.size()) {
        return 0;
    }
    if (i == targetStart || text[i] != ' ') {
        return Invalid;
    }
    target = text.substr(targetStart, i - targetStart);
    const std::string_view version = text.substr(i + 1, VersionPrefix.size() + 1);
    if (!VersionPrefix.starts_with(version.substr(0, VersionPrefix.size()))) {
        return Invalid;
    }
    if (version.size() <= VersionPrefix.size()) {
        return 0;
    }
    if (!isDigit(version.back())) {
        return Invalid;
    }
    i += 1 + version.size();
    if (i < text.size() && text[i] == '\r') {
        ++i;
    }
    if (i == text.size()) {
        return 0;
    }
    return text[i] == '\n' ? i + 1 : Invalid;
}

}  // namespace

PeekedHostname HTTPHostHeader::parse(std::span<const std::uint8_t> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const auto incomplete = [&] { return text.size() >= maxPeekBytes ? absent() : needMore(); };

    std::string_view target;
    const std::size_t lineLength = requestLineLength(text, target);
    if (lineLength == std::string_view::npos) {
        return absent();
    }
    if (lineLength == 0) {
        return incomplete();
    }
    std::optional<std::string> targetHost;
    if (const auto authority = absoluteFormAuthority(target)) {
        targetHost = hostOfAuthority(*authority);
        if (!targetHost) {
            return absent();
        }
    }

    // Each field line is judged once its line feed is in; an Absent decided on a complete line stands
    // however the head continues.
    std::optional<std::string> host;
    for (std::size_t position = lineLength;;) {
        const std::size_t lineFeed = text.find('\n', position);
        if (lineFeed == std::string_view::npos) {
            return incomplete();
        }
        std::string_view line = text.substr(position, lineFeed - position);
        position = lineFeed + 1;
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            if (position > maxPeekBytes) {
                return absent();
            }
            break;
        }
        const auto colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos || !isFieldValue(line)) {
            return absent();
        }
        const std::string_view name = line.substr(0, colon);
        // Also refuses whitespace before the colon and folded continuation lines.
        for (const char c : name) {
            if (!TokenCharacters[static_cast<unsigned char>(c)]) {
                return absent();
            }
        }
        if (!equalsIgnoringCase(name, "host")) {
            continue;
        }
        // A second Host field makes the request ambiguous: servers and proxies may each pick another.
        if (host) {
            return absent();
        }
        host = hostOfAuthority(trimmed(line.substr(colon + 1)));
        if (!host) {
            return absent();
        }
    }

    if (host && targetHost && *host != *targetHost) {
        return absent();
    }
    if (host) {
        return {PeekedHostname::Status::Found, std::move(*host)};
    }
    if (targetHost) {
        return {PeekedHostname::Status::Found, std::move(*targetHost)};
    }
    return absent();
}

}  // namespace sentorix
