#pragma once

#include <functional>
#include <string>

namespace sentorix {

class NSUUID {
public:
    using Generator = std::function<std::string()>;

    // A fresh random (version 4) UUID, upper-case canonical text of 36 characters.
    static std::string UUIDString();
    // The system's source of UUIDs; the program's composition root installs it before anything runs.
    static void setGenerator(Generator generator);
};

}  // namespace sentorix
