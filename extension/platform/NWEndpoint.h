#pragma once

namespace sentorix {

// Any endpoint the platform may report; only host endpoints carry a host and port.
class NWEndpoint {
public:
    virtual ~NWEndpoint() = default;
};

}  // namespace sentorix
