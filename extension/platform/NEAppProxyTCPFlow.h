#pragma once

#include "NEAppProxyFlow.h"
#include "NSData.h"
#include "NWEndpoint.h"
#include "NWTCPConnection.h"

#include <string>

namespace sentorix {

class NEAppProxyTCPFlow : public NEAppProxyFlow {
public:
    virtual std::shared_ptr<NWEndpoint> remoteEndpoint() const = 0;
    // The name of the host the application is talking to, where the platform knows it (and, for a name
    // that would decide the flow, has checked it against the endpoint's address); empty otherwise.
    virtual const std::string& remoteHostname() const {
        static const std::string none;
        return none;
    }
    // The next chunk, or an error; an empty chunk means the application has finished sending.
    virtual void readData(std::function<void(NSData, OptionalError)> completionHandler) = 0;
    virtual void write(NSData data, std::function<void(OptionalError)> completionHandler) = 0;
    // Hands both directions between this flow and an established connection to the system, with no read
    // or write outstanding on either: bytes then move without the provider, and each end of data is passed
    // on as a half-close. `completion` runs once: without an error after both directions have ended, or
    // with the first error, both sides then closed at once. Later calls on either side do no harm.
    // False, with nothing done, when the system cannot relay this pair.
    virtual bool relayWith(std::shared_ptr<NWTCPConnection> /*connection*/,
                           std::function<void(OptionalError)> /*completion*/) {
        return false;
    }
};

}  // namespace sentorix
