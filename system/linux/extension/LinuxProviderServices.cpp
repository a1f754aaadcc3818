#include "LinuxProviderServices.h"

#include "PlatformLog.h"
#include "AddressWords.h"
#include "FirstBytesPeek.h"
#include "KernelUDPFlow.h"
#include "PreparedProxyConnection.h"
#include "RateLimitedLog.h"
#include "SocketAppProxyTCPFlow.h"
#include "SocketTCPConnection.h"
#include "SpliceRelay.h"
#include "DispatchQueue.h"
#include "OSLog.h"

#include <asio/post.hpp>

#include <sys/socket.h>

namespace sentorix::linux_system {

LinuxProviderServices::LinuxProviderServices(std::shared_ptr<const NEVPNProtocol> protocol,
                                             FlowRedirection::Factory redirection)
    : protocol_(std::move(protocol)),
      resolver_(std::make_shared<HostnameResolver>(DispatchQueue::pool().get_executor())),
      listener_(DispatchQueue::pool(), [this](FlowSocket socket, asio::ip::tcp::endpoint application,
                                              asio::ip::tcp::endpoint destination, std::optional<FlowOrigin> origin) {
          intercepted(std::move(socket), application, destination, std::move(origin));
      }),
      makeRedirection_(std::move(redirection)) {}

LinuxProviderServices::~LinuxProviderServices() { stop(); }

void LinuxProviderServices::attach(std::weak_ptr<NETransparentProxyProvider> provider) { provider_ = std::move(provider); }

void LinuxProviderServices::setTunnelNetworkSettings(std::shared_ptr<const NETransparentProxyNetworkSettings> settings,
                                                     std::function<void(OptionalError)> completionHandler) {
    // Loading the kernel programs and rules takes a while: not on the threads flows run on.
    asio::post(DispatchQueue::waitingPool(), [self = shared_from_this(), settings,
                                              completion = std::move(completionHandler)] {
        OptionalError error;
        {
            std::lock_guard lock(self->rulesMutex_);
            error = self->applyLocked(*settings).optionalError();
        }
        completion(error);
    });
}

Result<void> LinuxProviderServices::applyLocked(const NETransparentProxyNetworkSettings& settings) {
    const auto proxy = proxyEndpointOf(settings);
    if (!identifier_) {
        identifier_ = std::make_shared<ProcessIdentifier>(proxy);
    }
    proxy_ = NWHostEndpoint(proxy.address().to_string(), std::to_string(proxy.port()));
    if (!redirection_) {
        std::weak_ptr<LinuxProviderServices> weak = shared_from_this();
        redirection_ = makeRedirection_([weak](const sentorix_event& event) {
            if (auto services = weak.lock()) {
                services->reported(event);
            }
        });
    }
    std::weak_ptr<FlowRedirection> redirection = redirection_;
    const auto port = listener_.open([redirection](const asio::ip::tcp::endpoint& application) {
        auto current = redirection.lock();
        return current ? current->takeOrigin(application) : std::nullopt;
    });
    if (!port) {
        return failure(EADDRNOTAVAIL, "Cannot intercept connections: " + port.error().localizedDescription());
    }
    FlowRedirection::Processes processes;
    processes.proxyProcesses = [identifier = identifier_] { return identifier->proxyProcesses(); };
    if (auto provider = provider_.lock()) {
        processes.declinesEveryFlow = [identifier = identifier_, provider](int pid, const sentorix_identity& identity) {
            return provider->declinesEveryFlowOf(
                identifier->identifyProcess(pid, 0, identity.cgroup, identity.exe_dev, identity.exe_inode));
        };
    }
    auto applied = redirection_->apply(settings, *port, listener_.listensOnIPv6(), processes);
    if (applied) {
        redirection_->setClaiming(claims_);
    }
    return applied;
}

void LinuxProviderServices::setClaimsNewFlows(bool claims) {
    std::lock_guard lock(rulesMutex_);
    claims_ = claims;
    if (redirection_) {
        redirection_->setClaiming(claims);
    }
}

std::shared_ptr<NWTCPConnection> LinuxProviderServices::createTCPConnection(const NWHostEndpoint& endpoint) {
    if (auto prepared = PreparedProxyConnection::take(endpoint)) {
        return prepared;
    }
    return SocketTCPConnection::connect(endpoint, static_cast<int>(OwnMark), PreparedProxyConnection::strand());
}

void LinuxProviderServices::stop() {
    listener_.close();
    std::lock_guard lock(rulesMutex_);
    if (redirection_) {
        redirection_->stop();
    }
}

Result<void> LinuxProviderServices::reassertRedirection() {
    std::lock_guard lock(rulesMutex_);
    if (!redirection_) {
        return {};
    }
    return redirection_->reassert();
}

std::pair<std::shared_ptr<ProcessIdentifier>, std::shared_ptr<FlowRedirection>>
LinuxProviderServices::identification() {
    std::lock_guard lock(rulesMutex_);
    return {identifier_, redirection_};
}

void LinuxProviderServices::intercepted(FlowSocket socket, asio::ip::tcp::endpoint application,
                                        asio::ip::tcp::endpoint destination,
                                        std::optional<FlowOrigin> origin) {
    const auto [identifier, redirection] = identification();
    auto provider = provider_.lock();
    std::string appId;
    if (identifier && origin) {
        appId = identifier->identifyProcess(origin->pid, origin->stamp, origin->cgroup, origin->exeDevice,
                                            origin->exeInode);
        // Only the kernel programs record origins, and only they let the proxy's processes go direct.
        if (loopGuard_.reachedByAnother(destination, origin->pid, ProxyLoopGuard::Clock::now()) &&
            identifier->holdsProxyListener(origin->pid)) {
            // The proxy's own connection for a flow relayed a moment ago, come back: it goes direct and
            // the proxy keeps its connections from now on.
            platformLog().info("Sentorix platform: process " + std::to_string(origin->pid) +
                               " holds the proxy's listener; its connections go direct from now on");
            redirection->markProxyProcess(origin->pid);
            appId = ProcessIdentifier::ProxySidecarIdentifier;
        }
        if (provider && provider->declinesEveryFlowOf(appId)) {
            // Its next connect() stays its own, decided in the kernel.
            redirection->publishDirect(origin->pid, origin->stamp);
        }
    } else if (identifier) {
        appId = identifier->identify(application, destination);
    }
    if (!provider) {
        carryDirectly(std::move(socket), destination);
        return;
    }
    std::weak_ptr<NETransparentProxyProvider> weakProvider = provider;
    auto early = std::make_shared<Prepared>();
    const FlowStrand strand = socket.get_executor();
    FirstBytesPeek::start(
        std::move(socket),
        [weakProvider](std::span<const std::uint8_t> bytes) {
            auto provider = weakProvider.lock();
            return provider ? provider->hostnameInFirstBytes(bytes) : PeekedHostname{};
        },
        [self = shared_from_this(), appId, destination, early](FlowSocket socket, std::string hostname) {
            self->named(std::move(socket), appId, destination, std::move(hostname), std::move(*early));
        },
        [self = shared_from_this(), early, strand] {
            // While the application has not spoken, most flows end up relayed: the connect to the proxy
            // need not wait for the decision.
            {
                std::lock_guard lock(self->rulesMutex_);
                early->endpoint = self->proxy_;
            }
            if (early->endpoint) {
                early->connection =
                    SocketTCPConnection::connect(*early->endpoint, static_cast<int>(OwnMark), strand);
            }
        });
}

void LinuxProviderServices::named(FlowSocket socket, std::string appId,
                                  asio::ip::tcp::endpoint destination, std::string hostname, Prepared early) {
    auto provider = provider_.lock();
    if (hostname.empty() || !provider || !provider->declinesFlowsTo(hostname)) {
        decide(std::move(socket), std::move(appId), destination, std::move(hostname), std::move(early));
        return;
    }
    // A name that would let the flow go direct must be the address's: an application cannot leave the
    // proxy by writing a listed name into its request.
    auto held = std::make_shared<FlowSocket>(std::move(socket));
    resolver_->resolve(hostname, [self = shared_from_this(), held, appId = std::move(appId), destination, hostname,
                                  early = std::move(early)](const HostnameResolver::Addresses& addresses) mutable {
        const bool proven = HostnameResolver::contains(addresses, destination.address());
        self->decide(std::move(*held), std::move(appId), destination, proven ? std::move(hostname) : std::string(),
                     std::move(early));
    });
}

void LinuxProviderServices::decide(FlowSocket socket, std::string appId,
                                   asio::ip::tcp::endpoint destination, std::string hostname, Prepared early) {
    auto flow = SocketAppProxyTCPFlow::adopt(
        std::move(socket), NEFlowMetaData{std::move(appId)},
        std::make_shared<NWHostEndpoint>(destination.address().to_string(), std::to_string(destination.port())),
        std::move(hostname), /*urgentInLine=*/true);  // the interception listener's socket
    if (early.connection) {
        flow->prepareProxyConnection(early.connection, std::move(*early.endpoint));
    }
    auto provider = provider_.lock();
    if (provider && provider->handleNewFlow(flow)) {
        return;
    }
    if (early.connection) {
        early.connection->cancel();
    }
    carryDirectly(flow->takeSocket(), destination);
}

void LinuxProviderServices::reported(const sentorix_event& event) {
    const auto [identifier, redirection] = identification();
    auto provider = provider_.lock();
    if (!identifier || !redirection) {
        return;
    }
    const auto& identity = event.identity;
    const std::string appId =
        identifier->identifyProcess(static_cast<int>(event.tgid), event.stamp, identity.cgroup, identity.exe_dev,
                                    identity.exe_inode);
    const bool direct = provider && provider->declinesEveryFlowOf(appId);
    // Every process of this program in this cgroup is decided in the kernel from now on.
    redirection->publishIdentity(identity, direct);
    if (direct) {
        redirection->publishDirect(static_cast<int>(event.tgid), event.stamp);
    }
    if (event.kind != SENTORIX_EVENT_UDP_FLOW || !provider) {
        return;
    }
    // A UDP flow's host is its local endpoint's.
    const auto local = addressFromWords(event.family, event.local);
    auto flow = std::make_shared<KernelUDPFlow>(
        NEFlowMetaData{appId}, std::make_shared<NWHostEndpoint>(local.to_string(), std::to_string(event.local_port)));
    provider->handleNewFlow(flow);
}

void LinuxProviderServices::carryDirectly(FlowSocket accepted, asio::ip::tcp::endpoint destination) {
    const FlowStrand strand = accepted.get_executor();
    std::error_code error;
    auto application = std::make_shared<FlowSocket>(std::move(accepted));
    auto upstream = std::make_shared<FlowSocket>(strand);
    upstream->open(destination.protocol(), error);
    RateLimitedLog::noteIfDescriptorShortage("open a socket for a bypassed flow", error);
    const int mark = static_cast<int>(OwnMark);
    if (error || ::setsockopt(upstream->native_handle(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0) {
        application->set_option(asio::socket_base::linger(true, 0), error);
        return;  // closing resets the application's connection
    }
    upstream->set_option(asio::ip::tcp::no_delay(true), error);
    upstream->async_connect(destination, [strand, application, upstream](
                                             const std::error_code& connectError) {
        std::error_code ignored;
        if (connectError) {
            // As a direct connection would: the application sees its connection fail.
            application->set_option(asio::socket_base::linger(true, 0), ignored);
            application->close(ignored);
            return;
        }
        SpliceRelay::start(strand, std::move(*application), std::move(*upstream), [](OptionalError) {});
    });
}

}  // namespace sentorix::linux_system
