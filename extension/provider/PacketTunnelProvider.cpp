#include "PacketTunnelProvider.h"

#include "ClientHelloServerName.h"
#include "HTTPHostHeader.h"

#include "BuiltInPolicy.h"
#include "platform/NEAppProxyUDPFlow.h"
#include "platform/NETunnelProviderProtocol.h"
#include "platform/NSBundle.h"
#include "platform/NSUUID.h"
#include "tunnel/SXTunnelConnection.h"
#include "platform/StringTrimming.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <utility>

namespace sentorix {

namespace {

namespace Events = ProxyTunnelMonitoringEvents;

constexpr const char* MonitoringSocketPathKey = "monitoringSocketPath";

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string lowercased(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), lower);
    return result;
}

// Lower case, without leading or trailing dots.
std::string normalisedHost(const std::string& host) {
    std::string_view view(host);
    while (!view.empty() && view.front() == '.') {
        view.remove_prefix(1);
    }
    while (!view.empty() && view.back() == '.') {
        view.remove_suffix(1);
    }
    return lowercased(view);
}

// A leading "." makes a suffix entry: it matches sub-domains of the name after the dot, not the name.
// Entries are lower case already (folded once, when the provider is built).
bool hostMatches(const std::string& host, const std::string& entry) {
    if (!entry.empty() && entry.front() == '.') {
        return host.ends_with(entry);
    }
    return host == entry;
}

std::vector<std::string> lowercasedAll(const std::vector<std::string>& entries) {
    std::vector<std::string> result;
    result.reserve(entries.size());
    for (const auto& entry : entries) {
        result.push_back(lowercased(entry));
    }
    return result;
}

bool anyMatch(const std::vector<std::string>& entries, const std::string& host) {
    return std::any_of(entries.begin(), entries.end(), [&](const auto& entry) { return hostMatches(host, entry); });
}

std::string logSubsystem() { return NSBundle::mainBundleIdentifier().value_or("SentorixNetworkExtension"); }

}  // namespace

const char* toString(PacketTunnelProvider::FlowAction action) {
    switch (action) {
    case PacketTunnelProvider::FlowAction::bypass: return "bypass";
    case PacketTunnelProvider::FlowAction::dropUDP: return "dropUDP";
    case PacketTunnelProvider::FlowAction::proxyTCP: return "proxyTCP";
    }
    return "unknown";
}

double PacketTunnelProvider::systemClock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::size_t PacketTunnelProvider::CaseInsensitiveHash::operator()(const std::string& text) const {
    // FNV-1a over the lower-cased bytes.
    std::size_t hash = 1469598103934665603ULL;
    for (char c : text) {
        hash = (hash ^ static_cast<unsigned char>(lower(c))) * 1099511628211ULL;
    }
    return hash;
}

bool PacketTunnelProvider::CaseInsensitiveEqual::operator()(const std::string& a, const std::string& b) const {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower(x) == lower(y);
           });
}

PacketTunnelProvider::PacketTunnelProvider(std::shared_ptr<NEProviderServices> services, Clock clock,
                                           std::shared_ptr<DispatchTimerFactory> timers)
    : NETransparentProxyProvider(std::move(services)),
      log(logSubsystem(), "SentorixProxy"),
      httpsOnlyMode(false),
      bypassAppIds(BuiltInPolicy::bypassAppIds().begin(), BuiltInPolicy::bypassAppIds().end()),
      hardBypassDomains(lowercasedAll(BuiltInPolicy::hardBypassDomains())),
      realtimeMediaDomains(lowercasedAll(BuiltInPolicy::realtimeMediaDomains())),
      udpQuicPolicyDomains(lowercasedAll(BuiltInPolicy::realtimeMediaDomains())),
      proxyHost(BuiltInPolicy::ProxyHost),
      proxyPort(BuiltInPolicy::ProxyPort),
      connectHandshakeTimeoutSeconds(BuiltInPolicy::ConnectHandshakeTimeoutSeconds),
      activeTunnelsQueue(DispatchQueue::create("com.sentorix.activeTunnels", DispatchQueue::Kind::Concurrent)),
      tunnelAdmissionController(BuiltInPolicy::MaxPendingHandshakes),
      monitoringClient(std::make_shared<ProxyTunnelMonitoringClient>(
          std::nullopt, DispatchQueue::create("com.sentorix.proxyTunnelMonitoring", DispatchQueue::Kind::Serial,
                                                DispatchQueue::Work::MayWait),
          std::make_shared<ProxyTunnelMonitoringFrameEncoder>(), ProxyTunnelMonitoringClient::defaultSender(),
          ProxyTunnelMonitoringClient::DefaultMaxPendingJobs, timers)),
      proxySafetyGate(std::make_shared<ProxySafetyGate>()),
      proxyHealthQueue(
          DispatchQueue::create("com.sentorix.proxyHealth", DispatchQueue::Kind::Serial, DispatchQueue::Work::MayWait)),
      bypassCacheQueue(DispatchQueue::create("com.sentorix.bypassCache", DispatchQueue::Kind::Concurrent)),
      clock_(std::move(clock)),
      timers_(std::move(timers)) {
    log.info("SentorixProxy: init()");
}

PacketTunnelProvider::~PacketTunnelProvider() { log.info("SentorixProxy: deinit"); }

// Lifecycle

void PacketTunnelProvider::startProxy(const std::optional<PropertyListValue::Dictionary>&,
                                      std::function<void(OptionalError)> completionHandler) {
    log.info("SentorixProxy: Starting Proxy provider...");
    monitoringClient->updateSocketPath(resolveMonitoringSocketPath());
    startProxyHealthMonitoring();
    monitoringClient->emit(ProxyTunnelMonitoringEvent(Events::providerStarted, std::nullopt));

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
    monitoringClient->emit(ProxyTunnelMonitoringEvent(Events::providerStopped, std::nullopt,
                                                      {std::to_string(static_cast<int>(reason))}));
    // Released, not closed: a tunnel tears down only through its own close.
    decltype(activeTunnels) released;
    activeTunnelsQueue->syncBarrier([&] { released.swap(activeTunnels); });
    released.clear();
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

std::size_t PacketTunnelProvider::activeTunnelCount() const {
    std::size_t count = 0;
    activeTunnelsQueue->sync([&] { count = activeTunnels.size(); });
    return count;
}

std::size_t PacketTunnelProvider::bypassCacheCount() const {
    std::size_t count = 0;
    bypassCacheQueue->sync([&] {  // after every store queued so far
        std::shared_lock lock(bypassCacheLock_);
        count = bypassCache.size();
    });
    return count;
}

std::optional<PacketTunnelProvider::BypassCacheEntry> PacketTunnelProvider::bypassCacheEntry(
    const std::string& key) const {
    std::optional<BypassCacheEntry> result;
    bypassCacheQueue->sync([&] {  // after every store queued so far
        std::shared_lock lock(bypassCacheLock_);
        if (const auto entry = bypassCache.find(key); entry != bypassCache.end()) {
            result = entry->second;
        }
    });
    return result;
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
    std::optional<FlowAction> cached;
    {
        std::shared_lock lock(bypassCacheLock_);
        const auto entry = bypassCache.find(key);
        if (entry != bypassCache.end() && entry->second.expiry > now) {
            cached = entry->second.action;
        }
    }
    FlowAction action;
    if (cached) {
        action = *cached;
    } else {
        action = determineNormalFlowAction(std::string(appId), decidingHost, isUDP);
        storeBypassCacheEntry(std::move(key), action, now);
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
    return bypassAppIds.contains(std::string(trimmedView(appId)));
}

PeekedHostname PacketTunnelProvider::hostnameInFirstBytes(std::span<const std::uint8_t> bytes) const {
    // A TLS record starts with its content type, 22 for a handshake; an HTTP request with a method name.
    if (!bytes.empty() && bytes[0] == 22) {
        return ClientHelloServerName::parse(bytes);
    }
    return HTTPHostHeader::parse(bytes);
}

bool PacketTunnelProvider::declinesFlowsTo(const std::string& hostname) const {
    return anyMatch(hardBypassDomains, normalisedHost(hostname));
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
    if (bypassAppIds.contains(appId)) {
        return FlowAction::bypass;
    }
    const std::string normalised = normalisedHost(host);
    if (anyMatch(hardBypassDomains, normalised)) {
        return FlowAction::bypass;
    }
    if (!isUDP) {
        return FlowAction::proxyTCP;
    }
    if (anyMatch(udpQuicPolicyDomains, normalised)) {
        return FlowAction::bypass;
    }
    return FlowAction::dropUDP;
}

void PacketTunnelProvider::storeBypassCacheEntry(std::string key, FlowAction action, double now) {
    {
        std::lock_guard lock(pendingCacheStores_.lock);
        pendingCacheStores_.stores.push_back({std::move(key), action, now});
        if (std::exchange(pendingCacheStores_.drainQueued, true)) {
            return;
        }
    }
    bypassCacheQueue->asyncBarrier([self = shared_from_this()] { self->applyPendingCacheStores(); });
}

// Runs as a barrier block on the cache queue.
void PacketTunnelProvider::applyPendingCacheStores() {
    std::vector<PendingCacheStores::Store> stores;
    {
        std::lock_guard lock(pendingCacheStores_.lock);
        stores.swap(pendingCacheStores_.stores);
        pendingCacheStores_.drainQueued = false;
    }
    std::unique_lock cacheLock(bypassCacheLock_);
    for (auto& store : stores) {
        if (bypassCache.size() > BypassCacheSoftLimit) {
            std::erase_if(bypassCache, [now = store.now](const auto& entry) { return !(entry.second.expiry > now); });
        }
        bypassCache.insert_or_assign(std::move(store.key),
                                     BypassCacheEntry{store.action, store.now + BypassCacheLifetimeSeconds});
    }
}

PacketTunnelProvider::FlowAction PacketTunnelProvider::applyProxySafetyGate(FlowAction action, bool) const {
    return proxySafetyGate->isClosed() ? FlowAction::bypass : action;
}

void PacketTunnelProvider::startTunnel(const std::shared_ptr<NEAppProxyTCPFlow>& flow, const std::string& appId) {
    const std::string flowId = NSUUID::UUIDString();
    if (!tunnelAdmissionController.tryAcquireHandshakeSlot(flowId)) {
        const NSError error(NSError::SentorixDomain, 1001, "Proxy handshake backlog exceeded");
        log.error("SentorixProxy: Rejecting flow due to handshake backlog");
        const auto pending = static_cast<double>(tunnelAdmissionController.pendingHandshakeCount());
        monitoringClient->emit(
            ProxyTunnelMonitoringEvent(Events::handshakeBacklogExceeded, flowId, {appId}, {pending}));
        flow->closeReadWithError(error);
        flow->closeWriteWithError(error);
        return;
    }

    auto connection = createTCPConnection(NWHostEndpoint(proxyHost, std::to_string(proxyPort)));
    if (!connection) {
        // The platform could not even make a connection object: fail the flow, hold no slot.
        const NSError error = NSError::posix(ENOTCONN, "Cannot create a connection to the local proxy");
        log.error("SentorixProxy: Failed to open flow: " + error.localizedDescription());
        tunnelAdmissionController.releaseHandshakeSlot(flowId);
        flow->closeReadWithError(error);
        flow->closeWriteWithError(error);
        return;
    }
    const std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
    auto tunnel = std::make_shared<SXTunnelConnection>(
        flow, std::move(connection), flowId, appId, connectHandshakeTimeoutSeconds, monitoringClient,
        [weak](const std::string& id) {
            if (auto self = weak.lock()) {
                self->tunnelAdmissionController.markHandshakeEstablished(id);
                self->handshakeTimeouts_.recordSuccess();
            }
        },
        [weak](SXTunnelConnection::PreHandshakeFailure failure, const std::string& target) {
            if (auto self = weak.lock()) {
                if (failure == SXTunnelConnection::PreHandshakeFailure::handshakeTimedOut &&
                    !self->handshakeTimeouts_.recordTimeout(target, self->timers_->now())) {
                    return;
                }
                self->proxySafetyGate->setProxyUnavailable(true);
                self->proxyHealthQueue->async([weak] {
                    if (auto provider = weak.lock()) {
                        provider->publishClaiming();
                    }
                });
            }
        },
        [weak](const std::string& id) {
            if (auto self = weak.lock()) {
                self->activeTunnelsQueue->asyncBarrier([weak, id] {
                    if (auto provider = weak.lock()) {
                        provider->activeTunnels.erase(std::string_view(id));
                    }
                });
            }
            if (auto self = weak.lock()) {
                self->tunnelAdmissionController.releaseHandshakeSlot(id);
            }
        },
        timers_);
    activeTunnelsQueue->asyncBarrier([self = shared_from_this(), tunnel] {
        self->activeTunnels.emplace(tunnel->flowId(), tunnel);
    });
    tunnel->start();
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
    monitoringClient->emit(ProxyTunnelMonitoringEvent(down ? Events::proxyUnreachable : Events::proxyRecovered,
                                                      std::nullopt, {proxyHost + ":" + std::to_string(proxyPort)}));
}

}  // namespace sentorix
