#include "PacketTunnelProvider.h"

#include "BuiltInPolicy.h"
#include "platform/NEAppProxyUDPFlow.h"
#include "platform/NETunnelProviderProtocol.h"
#include "platform/NSBundle.h"
#include "platform/NSUUID.h"
#include "platform/StringTrimming.h"
#include "tunnel/SXTunnelConnection.h"

#include <chrono>
#include <utility>

namespace sentorix {

namespace {

namespace Events = ProxyTunnelMonitoringEvents;

constexpr const char* MonitoringSocketPathKey = "monitoringSocketPath";

std::string logSubsystem() { return NSBundle::mainBundleIdentifier().value_or("SentorixNetworkExtension"); }

}  // namespace

double PacketTunnelProvider::systemClock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

PacketTunnelProvider::PacketTunnelProvider(std::shared_ptr<NEProviderServices> services, Clock clock,
                                           std::shared_ptr<DispatchTimerFactory> timers)
    : NETransparentProxyProvider(std::move(services)),
      log(logSubsystem(), "SentorixProxy"),
      httpsOnlyMode(false),
      proxyHost(BuiltInPolicy::ProxyHost),
      proxyPort(BuiltInPolicy::ProxyPort),
      connectHandshakeTimeoutSeconds(BuiltInPolicy::ConnectHandshakeTimeoutSeconds),
      tunnels_(std::make_shared<ProxyTunnelRegistry>(BuiltInPolicy::MaxPendingHandshakes)),
      monitoringClient(std::make_shared<ProxyTunnelMonitoringClient>(
          std::nullopt, DispatchQueue::create("com.sentorix.proxyTunnelMonitoring", DispatchQueue::Kind::Serial,
                                                DispatchQueue::Work::MayWait),
          std::make_shared<ProxyTunnelMonitoringFrameEncoder>(), ProxyTunnelMonitoringClient::defaultSender(),
          ProxyTunnelMonitoringClient::DefaultMaxPendingJobs, timers)),
      proxySafetyGate(std::make_shared<ProxySafetyGate>()),
      proxyHealthQueue(
          DispatchQueue::create("com.sentorix.proxyHealth", DispatchQueue::Kind::Serial, DispatchQueue::Work::MayWait)),
      bypassCache(std::make_shared<FlowDecisionCache>()),
      clock_(std::move(clock)),
      timers_(std::move(timers)),
      handshakeDeadlines_(std::make_shared<ProxyTunnelHandshakeDeadlines>(timers_)) {
    log.info("SentorixProxy: init()");
}

PacketTunnelProvider::~PacketTunnelProvider() { log.info("SentorixProxy: deinit"); }

// Lifecycle

void PacketTunnelProvider::startProxy(const std::optional<PropertyListValue::Dictionary>&,
                                      std::function<void(OptionalError)> completionHandler) {
    log.info("SentorixProxy: Starting Proxy provider...");
    monitoringClient->updateSocketPath(resolveMonitoringSocketPath());
    startProxyHealthMonitoring();
    monitoringClient->report(Events::providerStarted, std::nullopt);

    auto settings = makeNetworkSettings();
    setTunnelNetworkSettings(settings, [weak = weak_from_this(), completionHandler](OptionalError error) {
        auto self = weak.lock();
        if (!self) {
            completionHandler(error);
            return;
        }
        if (error) {
            self->log.error("SentorixProxy: Failed to set rules: " + error->localizedDescription());
        } else {
            self->log.info("SentorixProxy: Rules set successfully");
        }
        completionHandler(error);
    });
}

void PacketTunnelProvider::stopProxy(NEProviderStopReason reason, std::function<void()> completionHandler) {
    log.info("SentorixProxy: Stopping Proxy");
    stopProxyHealthMonitoring();
    proxyHealthQueue->sync([this] {
        publishedClaiming_ = false;
        setClaimsNewFlows(false);
    });
    monitoringClient->report(Events::providerStopped, std::nullopt, {std::to_string(static_cast<int>(reason))});
    // Released, not closed: a tunnel tears down only through its own close.
    tunnels_->releaseAll();
    // The process may end as soon as it hears the stop is done: the stop's event goes out first, or
    // after one send's limit is given up on.
    (void)monitoringClient->waitUntilSent(ProxyTunnelMonitoringClient::DefaultSendTimeLimit);
    completionHandler();
}

std::optional<std::string> PacketTunnelProvider::resolveMonitoringSocketPath() const {
    const auto protocol = std::dynamic_pointer_cast<const NETunnelProviderProtocol>(protocolConfiguration());
    if (!protocol || !protocol->providerConfiguration) {
        return std::nullopt;
    }
    const auto entry = protocol->providerConfiguration->find(MonitoringSocketPathKey);
    if (entry == protocol->providerConfiguration->end()) {
        return std::nullopt;
    }
    if (const auto* text = entry->second.get<std::string>()) {
        return *text;
    }
    return std::nullopt;
}

std::shared_ptr<NETransparentProxyNetworkSettings> PacketTunnelProvider::makeNetworkSettings() const {
    auto settings = std::make_shared<NETransparentProxyNetworkSettings>(proxyHost);
    settings->includedNetworkRules = BuiltInPolicy::includedRules();
    settings->excludedNetworkRules = BuiltInPolicy::excludedRules(proxyPort);

    const auto count = [](const auto& rules) { return rules ? rules->size() : std::size_t{0}; };
    log.info("SentorixProxy: Rules summary included=" + std::to_string(count(settings->includedNetworkRules)) +
             " excluded=" + std::to_string(count(settings->excludedNetworkRules)) +
             " httpsOnly=" + (httpsOnlyMode ? "true" : "false"));
    return settings;
}

// Classification

bool PacketTunnelProvider::handleNewFlow(const std::shared_ptr<NEAppProxyFlow>& flow) {
    static const std::string absent;
    const auto& signingIdentifier = flow->metaData().sourceAppSigningIdentifier;
    const std::string& rawAppId = signingIdentifier ? *signingIdentifier : absent;
    const std::string_view appId = trimmedView(rawAppId);

    const auto* tcpFlow = dynamic_cast<NEAppProxyTCPFlow*>(flow.get());
    const auto* udpFlow = tcpFlow ? nullptr : dynamic_cast<NEAppProxyUDPFlow*>(flow.get());
    const bool isUDP = udpFlow != nullptr;

    std::shared_ptr<NWEndpoint> endpoint;
    if (tcpFlow) {
        endpoint = tcpFlow->remoteEndpoint();
    } else if (udpFlow) {
        endpoint = udpFlow->localEndpoint();
    }
    static const std::string unknownHost = "unknown";
    static const std::string unknownPort = "0";
    const auto* hostEndpoint = dynamic_cast<const NWHostEndpoint*>(endpoint.get());
    const std::string& host = hostEndpoint ? hostEndpoint->hostname() : unknownHost;
    const std::string& port = hostEndpoint ? hostEndpoint->port() : unknownPort;
    // A name the platform found in the flow's first bytes stands for the address in the decision.
    const std::string& decidingHost =
        tcpFlow && !tcpFlow->remoteHostname().empty() ? tcpFlow->remoteHostname() : host;

    std::string key;
    key.reserve(appId.size() + decidingHost.size() + 5);
    key.append(appId).append(":").append(decidingHost).append(isUDP ? ":udp" : ":tcp");

    const double now = clock_();
    FlowAction action;
    if (const auto cached = bypassCache->lookup(key, now)) {
        action = *cached;
    } else {
        action = determineNormalFlowAction(std::string(appId), decidingHost, isUDP);
        bypassCache->store(std::move(key), action, now);
    }
    action = applyProxySafetyGate(action, isUDP);

    switch (action) {
    case FlowAction::bypass:
        return false;
    case FlowAction::dropUDP:
        if (!isUDP) {
            return false;
        }
        flow->closeReadWithError(std::nullopt);
        flow->closeWriteWithError(std::nullopt);
        return true;
    case FlowAction::proxyTCP:
        break;
    }
    if (!tcpFlow) {
        return false;
    }
    const bool toLocalProxy = (host == proxyHost || host == "localhost" || host == "127.0.0.1") &&
                              port == std::to_string(proxyPort);
    if (toLocalProxy) {
        return false;
    }
    auto opened = std::static_pointer_cast<NEAppProxyTCPFlow>(flow);
    opened->open(nullptr, [weak = weak_from_this(), tcpFlow = opened, rawAppId](OptionalError error) {
        auto self = weak.lock();
        if (error) {
            const std::string line = "SentorixProxy: Failed to open flow: " + error->localizedDescription();
            (self ? self->log : OSLog::defaultLog()).error(line);
            tcpFlow->closeReadWithError(error);
            tcpFlow->closeWriteWithError(error);
            return;
        }
        if (self) {
            self->startTunnel(tcpFlow, rawAppId);
        }
    });
    return true;
}

bool PacketTunnelProvider::declinesEveryFlowOf(const std::string& appId) const {
    return classifier_.declinesEveryFlowOf(appId);
}

PeekedHostname PacketTunnelProvider::hostnameInFirstBytes(std::span<const std::uint8_t> bytes) const {
    return FlowClassifier::hostnameInFirstBytes(bytes);
}

bool PacketTunnelProvider::declinesFlowsTo(const std::string& hostname) const {
    return classifier_.declinesFlowsTo(hostname);
}

void PacketTunnelProvider::publishClaiming() {
    const bool claiming = !proxySafetyGate->isClosed();
    if (publishedClaiming_ != claiming) {
        publishedClaiming_ = claiming;
        setClaimsNewFlows(claiming);
    }
}

PacketTunnelProvider::FlowAction PacketTunnelProvider::determineNormalFlowAction(const std::string& appId,
                                                                                 const std::string& host,
                                                                                 bool isUDP) const {
    return classifier_.determineNormalFlowAction(appId, host, isUDP);
}

PacketTunnelProvider::FlowAction PacketTunnelProvider::applyProxySafetyGate(FlowAction action, bool) const {
    return proxySafetyGate->isClosed() ? FlowAction::bypass : action;
}

void PacketTunnelProvider::startTunnel(const std::shared_ptr<NEAppProxyTCPFlow>& flow, const std::string& appId) {
    const std::string flowId = NSUUID::UUIDString();
    if (!tunnels_->admit(flowId)) {
        const NSError error(NSError::SentorixDomain, 1001, "Proxy handshake backlog exceeded");
        log.error("SentorixProxy: Rejecting flow due to handshake backlog");
        const auto pending = static_cast<double>(tunnels_->admissionController().pendingHandshakeCount());
        monitoringClient->report(Events::handshakeBacklogExceeded, flowId, {appId}, {pending});
        flow->closeReadWithError(error);
        flow->closeWriteWithError(error);
        return;
    }

    auto connection = createTCPConnection(NWHostEndpoint(proxyHost, std::to_string(proxyPort)));
    if (!connection) {
        // The platform could not even make a connection object: fail the flow, hold no slot.
        const NSError error = NSError::posix(ENOTCONN, "Cannot create a connection to the local proxy");
        log.error("SentorixProxy: Failed to open flow: " + error.localizedDescription());
        tunnels_->withdraw(flowId);
        flow->closeReadWithError(error);
        flow->closeWriteWithError(error);
        return;
    }
    tunnels_->observeHandshakes(weak_from_this());
    auto tunnel = std::make_shared<SXTunnelConnection>(flow, std::move(connection), flowId, appId,
                                                       connectHandshakeTimeoutSeconds, monitoringClient,
                                                       tunnels_, handshakeDeadlines_);
    tunnels_->add(tunnel);
    tunnel->start();
}

void PacketTunnelProvider::handshakeSucceeded() { handshakeTimeouts_.recordSuccess(); }

void PacketTunnelProvider::handshakeFailed(SXTunnelConnectionOwner::PreHandshakeFailure failure,
                                           const std::string& target) {
    if (failure == SXTunnelConnectionOwner::PreHandshakeFailure::handshakeTimedOut &&
        !handshakeTimeouts_.recordTimeout(target, timers_->now())) {
        return;
    }
    proxySafetyGate->setProxyUnavailable(true);
    proxyHealthQueue->async([weak = weak_from_this()] {
        if (auto provider = weak.lock()) {
            provider->publishClaiming();
        }
    });
}

// Health

void PacketTunnelProvider::startProxyHealthMonitoring() {
    if (proxyHealthTimer) {
        proxyHealthTimer->cancel();
    }
    auto timer = timers_->makeTimer(proxyHealthQueue);
    timer->schedule(std::chrono::seconds(0), std::chrono::seconds(1), std::chrono::milliseconds(150));
    timer->setEventHandler([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (!self->proxyReachabilityProbe) {
            self->proxyReachabilityProbe = self->makeReachabilityProbe();
        }
        const auto result = self->proxyReachabilityProbe->check();
        if (!self->proxyHealthMonitor) {
            self->proxyHealthMonitor =
                std::make_shared<ProxyHealthMonitor>(self->proxySafetyGate, [weak](ProxyHealthEvent event) {
                    if (auto provider = weak.lock()) {
                        provider->emitProxyHealthEvent(event);
                    }
                });
        }
        self->proxyHealthMonitor->recordProbeResult(result);
        self->publishClaiming();
    });
    proxyHealthTimer = timer;
    timer->resume();
}

std::shared_ptr<ProxyTCPReachabilityProbe> PacketTunnelProvider::makeReachabilityProbe() const {
    return std::make_shared<ProxyTCPReachabilityProbe>(proxyHost, proxyPort, 0.35);
}

void PacketTunnelProvider::stopProxyHealthMonitoring() {
    if (proxyHealthTimer) {
        proxyHealthTimer->setEventHandler([] {});
        proxyHealthTimer->cancel();
    }
    proxyHealthTimer = nullptr;
}

void PacketTunnelProvider::emitProxyHealthEvent(ProxyHealthEvent event) {
    const bool down = event == ProxyHealthEvent::proxyUnavailable;
    monitoringClient->report(down ? Events::proxyUnreachable : Events::proxyRecovered, std::nullopt,
                             {proxyHost + ":" + std::to_string(proxyPort)});
}

}  // namespace sentorix
