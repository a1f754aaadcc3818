#pragma once

#include "NEAppProxyFlow.h"
#include "NSData.h"
#include "NWEndpoint.h"

namespace sentorix {

class NEAppProxyTCPFlow : public NEAppProxyFlow {
public:
    virtual std::shared_ptr<NWEndpoint> remoteEndpoint() const = 0;
    // The next chunk, or an error; an empty chunk means the application has finished sending.
    virtual void readData(std::function<void(NSData, OptionalError)> completionHandler) = 0;
    virtual void write(NSData data, std::function<void(OptionalError)> completionHandler) = 0;
};

}  // namespace sentorix
