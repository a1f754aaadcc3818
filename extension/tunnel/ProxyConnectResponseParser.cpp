#include "ProxyConnectResponseParser.h"

#include "platform/StringTrimming.h"
#include "platform/UTF8.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace sentorix {

namespace {

constexpr std::array<std::uint8_t, 4> HeaderTerminator = {0x0D, 0x0A, 0x0D, 0x0A};

}  // namespace

ProxyConnectResponseOutcome ProxyConnectResponseParser::append(const NSData& data) {
    using O = ProxyConnectResponseOutcome;
    buffer_.insert(buffer_.end(), data.begin(), data.end());

    const auto terminator = std::search(buffer_.begin(), buffer_.end(), HeaderTerminator.begin(), HeaderTerminator.end());
    if (terminator == buffer_.end()) {
        if (static_cast<std::int64_t>(buffer_.size()) > maxHeaderBytes) {
            return {O::invalid{"connect_header_too_large"}};
        }
        return {O::needMoreData{}};
    }
    const std::string_view header(reinterpret_cast<const char*>(buffer_.data()),
                                  static_cast<size_t>(terminator - buffer_.begin()));
    NSData leftover(terminator + HeaderTerminator.size(), buffer_.end());

    if (!isValidUtf8(header)) {
        return {O::invalid{"connect_header_not_utf8"}};
    }
    const std::string_view statusLine = trimmedView(header.substr(0, header.find("\r\n")));
    if (statusLine.empty()) {
        return {O::invalid{"connect_status_line_missing"}};
    }
    if (statusLine.starts_with("HTTP/1.1 200") || statusLine.starts_with("HTTP/1.0 200")) {
        return {O::established{std::move(leftover)}};
    }
    return {O::rejected{std::string(statusLine)}};
}

}  // namespace sentorix
