#pragma once

#include <string>

namespace sentorix {

class NWTCPConnection;

// Receives key-value notifications. Observers are held weakly: one that is gone is simply skipped.
class NSKeyValueObserving {
public:
    virtual ~NSKeyValueObserving() = default;
    virtual void observeValue(const std::string& keyPath, NWTCPConnection* object) = 0;
};

}  // namespace sentorix
