#pragma once

#include "FlowClassifier.h"
#include "FlowDecisionCache.h"
#include "ProxyTunnelRegistry.h"
#include "health/HandshakeTimeoutTracker.h"
#include "health/ProxyHealthMonitor.h"
#include "health/ProxySafetyGate.h"
#include "health/ProxyTCPReachabilityProbe.h"
#include "monitoring/ProxyTunnelMonitoringClient.h"
#include "platform/DispatchQueue.h"
#include "platform/DispatchTimer.h"
#include "platform/NEAppProxyTCPFlow.h"
#include "platform/NETransparentProxyProvider.h"
#include "platform/OSLog.h"
#include "tunnel/ProxyTunnelHandshakeDeadlines.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sentorix {

// The extension's one long-lived object. A flow it is offered goes through, in order:
//   1. classification: the decision cache, else the classifier's built-in lists (FlowDecisionCache,
//      FlowClassifier);
//   2. the safety gate, which turns every decision into bypass while the proxy is unhealthy;
//   3. for a relayed TCP flow, once opened: a handshake slot and a tunnel through the local proxy, kept
//      by the registry until it closes (startTunnel, ProxyTunnelRegistry, SXTunnelConnection).
// Beside that it watches the proxy's health each second and tells the platform whether it wants new
// flows, and reports what happens as monitoring events.
class PacketTunnelProvider : public NETransparentProxyProvider,
                             public ProxyTunnelRegistry::HandshakeObserver,
                             public std::enable_shared_from_this<PacketTunnelProvider> {
public:
    using FlowAction = sentorix::FlowAction;
    using BypassCacheEntry = FlowDecisionCache::Entry;

    // Seconds since 1970 with fractions; replaceable so that tests can drive cache expiry.
    using Clock = std::function<double()>;
    static double systemClock();

    static constexpr double BypassCacheLifetimeSeconds = FlowDecisionCache::LifetimeSeconds;
    static constexpr std::size_t BypassCacheSoftLimit = FlowDecisionCache::SoftLimit;

    // `timers` drives the health timer and the handshake watchdogs, and spaces the monitoring's drop reports.
    explicit PacketTunnelProvider(std::shared_ptr<NEProviderServices> services, Clock clock = systemClock,
                                  std::shared_ptr<DispatchTimerFactory> timers = DispatchTimerFactory::system());
    ~PacketTunnelProvider() override;

    void startProxy(const std::optional<PropertyListValue::Dictionary>& options,
                    std::function<void(OptionalError)> completionHandler) override;
    void stopProxy(NEProviderStopReason reason, std::function<void()> completionHandler) override;
    bool handleNewFlow(const std::shared_ptr<NEAppProxyFlow>& flow) override;
    bool declinesEveryFlowOf(const std::string& appId) const override;
    PeekedHostname hostnameInFirstBytes(std::span<const std::uint8_t> bytes) const override;
    bool declinesFlowsTo(const std::string& hostname) const override;

    std::optional<std::string> resolveMonitoringSocketPath() const;
    std::shared_ptr<NETransparentProxyNetworkSettings> makeNetworkSettings() const;
    // The UDP flag is part of the decision's signature; the gate treats both protocols alike.
    FlowAction applyProxySafetyGate(FlowAction action, bool isUDP) const;

    // Read-only views for the host and for tests.
    const ProxyTunnelAdmissionController& admissionController() const { return tunnels_->admissionController(); }
    const std::shared_ptr<ProxySafetyGate>& safetyGate() const { return proxySafetyGate; }
    const std::shared_ptr<ProxyTunnelMonitoringClient>& monitoring() const { return monitoringClient; }
    std::size_t activeTunnelCount() const { return tunnels_->count(); }
    std::size_t bypassCacheCount() const { return bypassCache->count(); }
    std::optional<BypassCacheEntry> bypassCacheEntry(const std::string& key) const { return bypassCache->entry(key); }
    bool isHealthMonitoringRunning() const { return proxyHealthTimer != nullptr; }

protected:
    // Admits an opened TCP flow and gives it a tunnel through the local proxy, or rejects it when too
    // many handshakes are pending.
    virtual void startTunnel(const std::shared_ptr<NEAppProxyTCPFlow>& flow, const std::string& appId);

    // The probe of the local proxy, made the first time the health timer fires.
    virtual std::shared_ptr<ProxyTCPReachabilityProbe> makeReachabilityProbe() const;

    FlowAction determineNormalFlowAction(const std::string& appId, const std::string& host, bool isUDP) const;
    void startProxyHealthMonitoring();
    void stopProxyHealthMonitoring();
    void emitProxyHealthEvent(ProxyHealthEvent event);
    // Tells the platform whether new flows are wanted, when the safety gate has changed since it was
    // last told. Runs on proxyHealthQueue, so the last state published is the gate's latest.
    void publishClaiming();

private:
    void handshakeSucceeded() override;
    void handshakeFailed(SXTunnelConnectionOwner::PreHandshakeFailure failure, const std::string& target) override;

    // Fields, in the order the design gives them; the classifier holds the built-in lists, the decision
    // cache its queue, and the registry the tunnels, their queue and the admission controller.
    const OSLog log;
    const bool httpsOnlyMode;  // only reported: which ports reach the provider is the rules' business
    const FlowClassifier classifier_;
    const std::string proxyHost;
    const std::uint16_t proxyPort;
    const double connectHandshakeTimeoutSeconds;
    const std::shared_ptr<ProxyTunnelRegistry> tunnels_;
    const std::shared_ptr<ProxyTunnelMonitoringClient> monitoringClient;
    const std::shared_ptr<ProxySafetyGate> proxySafetyGate;
    // Handshake time-outs close the gate only when they are the proxy's, not one destination's.
    HandshakeTimeoutTracker handshakeTimeouts_;
    std::shared_ptr<ProxyHealthMonitor> proxyHealthMonitor;
    std::shared_ptr<ProxyTCPReachabilityProbe> proxyReachabilityProbe;
    const std::shared_ptr<DispatchQueue> proxyHealthQueue;
    std::shared_ptr<DispatchTimer> proxyHealthTimer;
    const std::shared_ptr<FlowDecisionCache> bypassCache;  // holds every action, not only bypasses

    std::optional<bool> publishedClaiming_;  // proxyHealthQueue only
    const Clock clock_;
    const std::shared_ptr<DispatchTimerFactory> timers_;
    const std::shared_ptr<ProxyTunnelHandshakeDeadlines> handshakeDeadlines_;  // every tunnel's watchdog
};

}  // namespace sentorix
