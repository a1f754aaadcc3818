#pragma once

#include "FlowRedirection.h"
#include "KernelEventStream.h"
#include "KernelInterception.h"

#include <asio/any_io_executor.hpp>

#include <memory>
#include <mutex>

namespace sentorix::linux_system {

// Redirection by the kernel programs: they redirect at connect(), record each connection's origin and
// process, and report processes and refused UDP flows on their ring.
class KernelFlowRedirection : public FlowRedirection {
public:
    // Loads and attaches the programs and opens their ring; the reports run on a strand of `executor`.
    static Result<std::shared_ptr<KernelFlowRedirection>> load(const asio::any_io_executor& executor,
                                                                Reports reports);
    ~KernelFlowRedirection() override;

    bool pidsFromKernel() const { return pidsFromKernel_; }

    Result<void> apply(const NETransparentProxyNetworkSettings& settings, std::uint16_t listenerPort,
                       bool listenerHasIPv6, const Processes& processes) override;
    void setClaiming(bool claiming) override;
    std::optional<FlowOrigin> takeOrigin(const asio::ip::tcp::endpoint& application) override;
    void markProxyProcess(int pid) override;
    void publishDirect(int pid, std::uint64_t stamp) override;
    void publishIdentity(const sentorix_identity& identity, bool direct) override;
    Result<void> reassert() override;
    void stop() override;

private:
    KernelFlowRedirection(std::shared_ptr<KernelInterception> kernel, std::shared_ptr<KernelEventStream> events);
    // Null once stopped; held by the caller for the call, so stopping never detaches under it.
    std::shared_ptr<KernelInterception> kernel() const;

    const bool pidsFromKernel_;
    mutable std::mutex mutex_;  // guards kernel_ and events_
    std::shared_ptr<KernelInterception> kernel_;
    std::shared_ptr<KernelEventStream> events_;
};

}  // namespace sentorix::linux_system
