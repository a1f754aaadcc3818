#include "UnitNames.h"

#include <cctype>

namespace sentorix::linux_system {

std::string UnitNames::identifier(const std::string& cgroupPath) { return unescaped(escapedIdentifier(cgroupPath)); }

std::string UnitNames::unescaped(const std::string& part) {
    std::string out;
    out.reserve(part.size());
    for (std::size_t i = 0; i < part.size(); ++i) {
        if (part.compare(i, 2, "\\x") == 0 && i + 3 < part.size() && std::isxdigit(static_cast<unsigned char>(part[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(part[i + 3]))) {
            out += static_cast<char>(std::stoi(part.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += part[i];
        }
    }
    return out;
}

std::string UnitNames::escapedIdentifier(const std::string& cgroupPath) {
    std::string unit = cgroupPath.substr(cgroupPath.rfind('/') + 1);
    const auto dropFrom = [&](char c) {
        const auto at = unit.rfind(c);
        return at == std::string::npos ? unit : unit.substr(0, at);
    };
    if (unit.starts_with("snap.") && unit.ends_with(".scope")) {
        // snap.<name>.<app>-<id>.scope: the snap's name is its application ID.
        const std::string rest = unit.substr(5);
        return rest.substr(0, rest.find('.'));
    }
    if (unit.starts_with("app-") && (unit.ends_with(".scope") || unit.ends_with(".service"))) {
        const bool scope = unit.ends_with(".scope");
        unit = unit.substr(4, unit.size() - 4 - (scope ? 6 : 8));
        const auto launcher = unit.find('-');
        if (launcher == std::string::npos) {
            return "";
        }
        unit = unit.substr(launcher + 1);
        if (scope) {
            unit = dropFrom('-');  // the instance suffix
        } else if (unit.find('@') != std::string::npos) {
            unit = dropFrom('@');
        }
        return unit;
    }
    if (unit.ends_with(".service") && unit.size() > 8) {
        return unit.substr(0, unit.size() - 8);
    }
    return "";
}

}  // namespace sentorix::linux_system
