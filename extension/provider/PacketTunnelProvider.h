#pragma once

#include "ProxyTunnelAdmissionController.h"
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

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sentorix {

class SXTunnelConnection;

// The extension's one long-lived object: decides per flow, keeps the proxy's health, reports events.
class PacketTunnelProvider : public NETransparentProxyProvider,
                             public std::enable_shared_from_this<PacketTunnelProvider> {
public:
    enum class FlowAction { bypass, dropUDP, proxyTCP };

    // Seconds since 1970 with fractions; replaceable so that tests can drive cache expiry.
    using Clock = std::function<double()>;
    static double systemClock();

    struct CaseInsensitiveHash {
        std::size_t operator()(const std::string& text) const;
    };
    struct CaseInsensitiveEqual {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    struct BypassCacheEntry {
        FlowAction action;
        double expiry;
    };

    static constexpr double BypassCacheLifetimeSeconds = 30.0;
    static constexpr std::size_t BypassCacheSoftLimit = 2000;

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
    FlowAction applyProxySafetyGate(FlowAction action, bool isUDP) const;

    // Read-only views for the host and for tests.
    const ProxyTunnelAdmissionController& admissionController() const { return tunnelAdmissionController; }
    const std::shared_ptr<ProxySafetyGate>& safetyGate() const { return proxySafetyGate; }
    const std::shared_ptr<ProxyTunnelMonitoringClient>& monitoring() const { return monitoringClient; }
    std::size_t activeTunnelCount() const;
    std::size_t bypassCacheCount() const;
    std::optional<BypassCacheEntry> bypassCacheEntry(const std::string& key) const;
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
    // Cache stores waiting for their barrier block. A store made while a block is already queued joins
    // it, so that a stream of new hosts wakes the cache queue once per batch rather than once per flow;
    // stores still land in the order they were made.
    struct PendingCacheStores {
        struct Store {
            std::string key;
            FlowAction action;
            double now;
        };
        std::mutex lock;
        std::vector<Store> stores;
        bool drainQueued = false;
    };

    void storeBypassCacheEntry(std::string key, FlowAction action, double now);
    void applyPendingCacheStores();

    // Fields, in the order the design gives them.
    const OSLog log;
    const bool httpsOnlyMode;
    const std::unordered_set<std::string, CaseInsensitiveHash, CaseInsensitiveEqual> bypassAppIds;
    const std::vector<std::string> hardBypassDomains;
    const std::vector<std::string> realtimeMediaDomains;
    const std::vector<std::string> udpQuicPolicyDomains;
    const std::string proxyHost;
    const std::uint16_t proxyPort;
    const double connectHandshakeTimeoutSeconds;
    // Keyed by a view of the tunnel's own flow id: the entry holds the tunnel, and with it the id.
    std::unordered_map<std::string_view, std::shared_ptr<SXTunnelConnection>> activeTunnels;
    const std::shared_ptr<DispatchQueue> activeTunnelsQueue;
    ProxyTunnelAdmissionController tunnelAdmissionController;
    const std::shared_ptr<ProxyTunnelMonitoringClient> monitoringClient;
    const std::shared_ptr<ProxySafetyGate> proxySafetyGate;
    // Handshake time-outs close the gate only when they are the proxy's, not one destination's.
    HandshakeTimeoutTracker handshakeTimeouts_;
    std::shared_ptr<ProxyHealthMonitor> proxyHealthMonitor;
    std::shared_ptr<ProxyTCPReachabilityProbe> proxyReachabilityProbe;
    const std::shared_ptr<DispatchQueue> proxyHealthQueue;
    std::shared_ptr<DispatchTimer> proxyHealthTimer;
    const std::shared_ptr<DispatchQueue> bypassCacheQueue;
    std::unordered_map<std::string, BypassCacheEntry> bypassCache;

    std::optional<bool> publishedClaiming_;  // proxyHealthQueue only
    const Clock clock_;
    const std::shared_ptr<DispatchTimerFactory> timers_;
    PendingCacheStores pendingCacheStores_;
    // Stores run as barrier blocks on bypassCacheQueue and hold this exclusively; lookups hold it shared
    // instead of queueing behind stores that have not run yet (a fresh store need not be visible at once).
    mutable std::shared_mutex bypassCacheLock_;
};

const char* toString(PacketTunnelProvider::FlowAction action);

}  // namespace sentorix
