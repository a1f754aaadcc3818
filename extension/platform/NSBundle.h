#pragma once

#include <optional>
#include <string>

namespace sentorix {

// The running program's bundle, as far as the log handles need it.
class NSBundle {
public:
    static std::optional<std::string> mainBundleIdentifier();
    // Set once by the process host at start-up, before any provider is built.
    static void setMainBundleIdentifier(std::optional<std::string> identifier);
};

}  // namespace sentorix
