#pragma once

#include <string>

namespace sentorix::linux_system {

// Random identifiers, written out by libuuid: what every program installs as NSUUID's generator.
class UUIDGenerator {
public:
    // A fresh random (version 4) UUID, upper-case canonical text.
    static std::string random();
};

}  // namespace sentorix::linux_system
