#pragma once

#include <string>

namespace sentorix {

class NSUUID {
public:
    // A fresh random (version 4) UUID, upper-case canonical text of 36 characters.
    static std::string UUIDString();
};

}  // namespace sentorix
