#pragma once

#include "NEAppProxyUDPFlow.h"

#include <atomic>

namespace sentorix::linux_system {

// A UDP flow the kernel is holding refused while the provider decides: closing it (the provider's
// refusal) keeps it refused; a flow left unclosed is the system's to carry. Its datagrams never pass
// through here.
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

    bool refused() const { return closed_.load(); }

private:
    const NEFlowMetaData metaData_;
    const std::shared_ptr<NWEndpoint> localEndpoint_;
    std::atomic<bool> closed_{false};
};

}  // namespace sentorix::linux_system
