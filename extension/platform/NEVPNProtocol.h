#pragma once

#include <string>

namespace sentorix {

// The protocol object of a saved configuration; the transparent proxy uses the tunnel-provider kind.
class NEVPNProtocol {
public:
    virtual ~NEVPNProtocol() = default;

    std::string serverAddress;
};

}  // namespace sentorix
