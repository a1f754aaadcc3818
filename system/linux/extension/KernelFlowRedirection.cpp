#include "KernelFlowRedirection.h"

#include "PlatformLog.h"
#include "OSLog.h"

#include <cerrno>

namespace sentorix::linux_system {

KernelFlowRedirection::KernelFlowRedirection(std::shared_ptr<KernelInterception> kernel,
                                             std::shared_ptr<KernelEventStream> events)
    : pidsFromKernel_(kernel->pidsFromKernel()), kernel_(std::move(kernel)), events_(std::move(events)) {}

KernelFlowRedirection::~KernelFlowRedirection() { stop(); }

Result<std::shared_ptr<KernelFlowRedirection>> KernelFlowRedirection::load(const asio::any_io_executor& executor,
                                                                           Reports reports) {
    auto kernel = KernelInterception::load();
    if (!kernel) {
        return kernel.error();
    }
    std::shared_ptr<KernelInterception> shared = std::move(*kernel);
    auto events = KernelEventStream::open(shared->eventsMap(), executor, std::move(reports));
    if (!events) {
        return events.error();
    }
    return std::shared_ptr<KernelFlowRedirection>(new KernelFlowRedirection(std::move(shared), std::move(*events)));
}

std::shared_ptr<KernelInterception> KernelFlowRedirection::kernel() const {
    std::lock_guard lock(mutex_);
    return kernel_;
}

Result<void> KernelFlowRedirection::apply(const NETransparentProxyNetworkSettings& settings,
                                          std::uint16_t listenerPort, bool listenerHasIPv6,
                                          const Processes& processes) {
    const auto kernel = this->kernel();
    if (!kernel) {
        return {};
    }
    if (auto configured = kernel->configure(settings, listenerPort, proxyEndpointOf(settings), listenerHasIPv6);
        !configured) {
        return failure(EINVAL, "Cannot set the network rules in the kernel: " +
                                   configured.error().localizedDescription());
    }
    // A proxy that was listening before the programs could see it bind keeps its connections too.
    for (const int pid : processes.proxyProcesses()) {
        kernel->markProxyProcess(pid);
    }
    // What started before the programs could report it is decided in the kernel from its first flow too.
    if (processes.declinesEveryFlow) {
        for (const auto& [pid, identity] : kernel->runningIdentities()) {
            kernel->publishIdentity(identity, processes.declinesEveryFlow(pid, identity));
        }
    }
    return {};
}

void KernelFlowRedirection::setClaiming(bool claiming) {
    if (const auto kernel = this->kernel()) {
        kernel->setClaiming(claiming);
    }
}

std::optional<FlowOrigin> KernelFlowRedirection::takeOrigin(const asio::ip::tcp::endpoint& application) {
    const auto kernel = this->kernel();
    return kernel ? kernel->takeOrigin(application) : std::nullopt;
}

void KernelFlowRedirection::markProxyProcess(int pid) {
    if (const auto kernel = this->kernel()) {
        kernel->markProxyProcess(pid);
    }
}

void KernelFlowRedirection::publishDirect(int pid, std::uint64_t stamp) {
    if (const auto kernel = this->kernel()) {
        kernel->publish(pid, stamp, KernelInterception::Verdict::direct);
    }
}

void KernelFlowRedirection::publishIdentity(const sentorix_identity& identity, bool direct) {
    if (const auto kernel = this->kernel()) {
        kernel->publishIdentity(identity, direct);
    }
}

Result<void> KernelFlowRedirection::reassert() {
    const auto kernel = this->kernel();
    if (!kernel) {
        return {};
    }
    const auto attached = kernel->reattachDetached();
    if (!attached) {
        return failure(EIO, "Cannot put the redirection back: " + attached.error().localizedDescription());
    }
    platformLog().info("Sentorix platform: redirection put back (" + std::to_string(*attached) +
                       " kernel programs attached again)");
    return {};
}

void KernelFlowRedirection::stop() {
    std::shared_ptr<KernelInterception> kernel;
    std::shared_ptr<KernelEventStream> events;
    {
        std::lock_guard lock(mutex_);
        kernel = std::move(kernel_);
        events = std::move(events_);
    }
    if (events) {
        events->stop();
    }
    // Dropping the last hold detaches the programs.
}

}  // namespace sentorix::linux_system
