#pragma once

#include "NEAppProxyFlow.h"
#include "NWEndpoint.h"

namespace sentorix {

class NEAppProxyUDPFlow : public NEAppProxyFlow {
public:
    virtual std::shared_ptr<NWEndpoint> localEndpoint() const = 0;
};

}  // namespace sentorix
