#pragma once

#include "NEAppProxyUDPFlow.h"

namespace sentorix::linux_system {

// A UDP flow the kernel has refused already, for the provider to decide: closing it (the provider's
// refusal) changes nothing; its datagrams never pass through here.
class KernelUDPFlow : public NEAppProxyUDPFlow {
public:
    KernelUDPFlow(NEFlowMetaData metaData, std::shared_ptr<NWEndpoint> localEndpoint)
        : metaData_(std::move(metaData)), localEndpoint_(std::move(localEndpoint)) {}

    const NEFlowMetaData& metaData() const override { return metaData_; }
    std::shared_ptr<NWEndpoint> localEndpoint() const override { return localEndpoint_; }
    // Relaying UDP is not offered: the completion reports so.
    void open(std::shared_ptr<NWHostEndpoint> localEndpoint, std::function<void(OptionalError)> completionHandler) override;
    void closeReadWithError(OptionalError error) override;
    void closeWriteWithError(OptionalError error) override;

private:
    const NEFlowMetaData metaData_;
    const std::shared_ptr<NWEndpoint> localEndpoint_;
};

}  // namespace sentorix::linux_system
