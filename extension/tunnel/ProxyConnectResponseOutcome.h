#pragma once

#include "platform/NSData.h"

#include <optional>
#include <string>
#include <variant>

namespace sentorix {

// What one chunk of the proxy's CONNECT answer told us.
struct ProxyConnectResponseOutcome {
    struct established {
        NSData leftover;  // bytes after the header, already tunnelled data
    };
    struct rejected {
        std::optional<std::string> statusLine;
    };
    struct invalid {
        std::string reason;
    };
    struct needMoreData {};

    std::variant<established, rejected, invalid, needMoreData> value;

    template <typename Case>
    bool is() const { return std::holds_alternative<Case>(value); }
    template <typename Case>
    const Case& as() const { return std::get<Case>(value); }
};

}  // namespace sentorix
