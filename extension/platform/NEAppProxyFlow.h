#pragma once

#include "NEFlowMetaData.h"
#include "NSError.h"
#include "NWHostEndpoint.h"

#include <functional>
#include <memory>

namespace sentorix {

// A flow the platform handed to the provider. Completions run on threads of the platform's choosing.
class NEAppProxyFlow {
public:
    virtual ~NEAppProxyFlow() = default;

    virtual const NEFlowMetaData& metaData() const = 0;
    // Data moves only after the completion ran without error.
    virtual void open(std::shared_ptr<NWHostEndpoint> localEndpoint,
                      std::function<void(OptionalError)> completionHandler) = 0;
    virtual void closeReadWithError(OptionalError error) = 0;
    virtual void closeWriteWithError(OptionalError error) = 0;
};

}  // namespace sentorix
