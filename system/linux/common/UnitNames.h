#pragma once

#include <string>

namespace sentorix::linux_system {

// What a process's systemd unit says of the application running in it, read from a cgroup path alone:
// app-<launcher>-<ID>-<n>.scope and app-<launcher>-<ID>@<n>.service give <ID>, <NAME>.service gives
// <NAME>, snap.<name>.<app>-<id>.scope gives <name>; anything else gives nothing.
class UnitNames {
public:
    // The identifier the path's last component gives, unescaped as the application named it, or empty.
    static std::string identifier(const std::string& cgroupPath);
    // The same before unescaping: systemd writes a '-' inside a name's parts as "\x2d".
    static std::string escapedIdentifier(const std::string& cgroupPath);
    // "\xNN" escapes decoded; anything that is not an escape stays as it is.
    static std::string unescaped(const std::string& part);
};

}  // namespace sentorix::linux_system
