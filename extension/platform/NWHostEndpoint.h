#pragma once

#include "NWEndpoint.h"

#include <string>

namespace sentorix {

// A host name or address with a port written as decimal text.
class NWHostEndpoint : public NWEndpoint {
public:
    NWHostEndpoint(std::string hostname, std::string port) : hostname_(std::move(hostname)), port_(std::move(port)) {}

    const std::string& hostname() const { return hostname_; }
    const std::string& port() const { return port_; }

    bool operator==(const NWHostEndpoint& other) const {
        return hostname_ == other.hostname_ && port_ == other.port_;
    }

private:
    std::string hostname_;
    std::string port_;
};

}  // namespace sentorix
