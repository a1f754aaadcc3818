#pragma once

#include "NSData.h"
#include "NSError.h"
#include "NSKeyValueObserving.h"
#include "NWTCPConnectionState.h"

#include <functional>
#include <memory>
#include <string>

namespace sentorix {

// An outbound TCP connection that connects in the background; observers of "state" hear every change.
class NWTCPConnection {
public:
    virtual ~NWTCPConnection() = default;

    virtual NWTCPConnectionState state() const = 0;
    virtual OptionalError error() const = 0;

    virtual void addObserver(std::weak_ptr<NSKeyValueObserving> observer, const std::string& keyPath) = 0;
    virtual void removeObserver(NSKeyValueObserving* observer, const std::string& keyPath) = 0;

    virtual void write(NSData data, std::function<void(OptionalError)> completionHandler) = 0;
    // Ends our sending side; reading goes on.
    virtual void writeClose() = 0;
    // Completes with between minimum and maximum bytes, an empty chunk at the end of data, or an error.
    virtual void readMinimumLength(std::size_t minimum, std::size_t maximum,
                                   std::function<void(NSData, OptionalError)> completionHandler) = 0;
    virtual void cancel() = 0;
};

}  // namespace sentorix
