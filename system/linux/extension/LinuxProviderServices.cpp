#include "LinuxProviderServices.h"

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

#include <cstdlib>
#include <string_view>

namespace sentorix::linux_system {

namespace {

const OSLog& platformLog() {
    static const OSLog log("com.sentorix.desktop.extension", "Platform");
    return log;
}

// The local proxy is the settings' tunnel address, on the port of the excluded rule for that address.
asio::ip::tcp::endpoint proxyEndpoint(const NETransparentProxyNetworkSettings& settings) {
    std::error_code error;
    const auto address = asio::ip::make_address(settings.tunnelRemoteAddress(), error);
    std::uint16_t port = 0;
    for (const auto& rule : settings.excludedNetworkRules.value_or(std::vector<NENetworkRule>{})) {
        if (rule.matchRemoteEndpoint().hostname() == settings.tunnelRemoteAddress()) {
            port = static_cast<std::uint16_t>(std::stoul(rule.matchRemoteEndpoint().port()));
        }
    }
    return asio::ip::tcp::endpoint(error ? asio::ip::address(asio::ip::address_v4::loopback()) : address, port);
}

}  // namespace

LinuxProviderServices::LinuxProviderServices(std::shared_ptr<const NEVPNProtocol> protocol)
    : protocol_(std::move(protocol)),
      resolver_(std::make_shared<HostnameResolver>(DispatchQueue::pool().get_executor())),
      listener_(DispatchQueue::pool(), [this](FlowSocket socket, asio::ip::tcp::endpoint application,
                                              asio::ip::tcp::endpoint destination,
                                              std::optional<KernelInterception::Origin> origin) {
          intercepted(std::move(socket), application, destination, std::move(origin));
      }) {}

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
            if (!self->identifier_) {
                self->identifier_ = std::make_shared<ProcessIdentifier>(proxyEndpoint(*settings));
            }
            const auto proxy = proxyEndpoint(*settings);
            self->proxy_ = NWHostEndpoint(proxy.address().to_string(), std::to_string(proxy.port()));
            if (!self->kernelTried_) {
                self->kernelTried_ = true;
                std::string problem = "SENTORIX_INTERCEPTION=nftables";
                const char* chosen = std::getenv("SENTORIX_INTERCEPTION");
                if (!chosen || std::string_view(chosen) != "nftables") {
                    self->kernel_ = KernelInterception::load(problem);
                }
                if (self->kernel_) {
                    platformLog().info(std::string("Sentorix platform: kernel programs loaded; processes named in "
                                                   "this pid namespace ") +
                                       (self->kernel_->pidsFromKernel() ? "by the kernel"
                                                                        : "from each task's pid numbers"));
                    std::weak_ptr<LinuxProviderServices> weak = self;
                    self->kernelEvents_ = KernelEventStream::open(
                        self->kernel_->eventsMap(), DispatchQueue::pool().get_executor(),
                        [weak](const sentorix_event& event) {
                            if (auto services = weak.lock()) {
                                services->kernelReported(event);
                            }
                        },
                        problem);
                    if (!self->kernelEvents_) {
                        self->kernel_.reset();
                    }
                }
                if (!self->kernel_) {
                    platformLog().info("Sentorix platform: kernel programs unavailable (" + problem +
                                       "); redirecting with nftables");
                }
            }
            std::string problem;
            std::weak_ptr<KernelInterception> kernel = self->kernel_;
            const auto port = self->listener_.open(
                problem, [kernel](const asio::ip::tcp::endpoint& application) -> std::optional<KernelInterception::Origin> {
                    auto interception = kernel.lock();
                    return interception ? interception->takeOrigin(application) : std::nullopt;
                });
            if (!port) {
                error = NSError::posix(EADDRNOTAVAIL, "Cannot intercept connections: " + problem);
            } else {
                error = self->applyRulesLocked(*settings, *port);
            }
        }
        const auto& included = settings->includedNetworkRules;
        const bool hasUdp = included && std::any_of(included->begin(), included->end(), [](const NENetworkRule& r) {
                                return r.matchProtocol() == NENetworkRuleProtocol::UDP;
                            });
        if (!error && hasUdp && !self->kernel_ && !self->udpNoted_.exchange(true)) {
            platformLog().info("Sentorix platform: UDP rules are not applied yet; UDP traffic passes untouched");
        }
        completion(error);
    });
}

OptionalError LinuxProviderServices::applyRulesLocked(const NETransparentProxyNetworkSettings& settings,
                                                    std::uint16_t port) {
    if (!kernel_) {
        return rules_.apply(settings, port, OwnMark);
    }
    if (auto problem = kernel_->configure(settings, port, proxyEndpoint(settings), listener_.listensOnIPv6())) {
        return NSError::posix(EINVAL, "Cannot set the network rules in the kernel: " + *problem);
    }
    // A proxy that was listening before the programs could see it bind keeps its connections too.
    for (const int pid : identifier_->proxyProcesses()) {
        kernel_->markProxyProcess(pid);
    }
    // What started before the programs could report it is decided in the kernel from its first flow too.
    if (auto provider = provider_.lock()) {
        for (const auto& [pid, identity] : kernel_->runningIdentities()) {
            const std::string appId =
                identifier_->identifyProcess(pid, 0, identity.cgroup, identity.exe_dev, identity.exe_inode);
            kernel_->publishIdentity(identity, provider->declinesEveryFlowOf(appId));
        }
    }
    kernel_->setClaiming(claims_);
    return std::nullopt;
}

void LinuxProviderServices::setClaimsNewFlows(bool claims) {
    std::lock_guard lock(rulesMutex_);
    claims_ = claims;
    if (kernel_) {
        kernel_->setClaiming(claims);
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
    rules_.remove();
    if (kernelEvents_) {
        kernelEvents_->stop();
        kernelEvents_.reset();
    }
    kernel_.reset();  // detaches the programs
}

OptionalError LinuxProviderServices::reassertRedirection() {
    std::lock_guard lock(rulesMutex_);
    // The nftables table is our netlink socket's own: nobody else can take it away.
    if (!kernel_) {
        return std::nullopt;
    }
    const auto result = kernel_->reattachDetached();
    if (const auto* problem = std::get_if<std::string>(&result)) {
        return NSError::posix(EIO, "Cannot put the redirection back: " + *problem);
    }
    platformLog().info("Sentorix platform: redirection put back (" + std::to_string(std::get<int>(result)) +
                       " kernel programs attached again)");
    return std::nullopt;
}

std::pair<std::shared_ptr<ProcessIdentifier>, std::shared_ptr<KernelInterception>>
LinuxProviderServices::identification() {
    std::lock_guard lock(rulesMutex_);
    return {identifier_, kernel_};
}

void LinuxProviderServices::intercepted(FlowSocket socket, asio::ip::tcp::endpoint application,
                                        asio::ip::tcp::endpoint destination,
                                        std::optional<KernelInterception::Origin> origin) {
    const auto [identifier, kernel] = identification();
    auto provider = provider_.lock();
    std::string appId;
    if (identifier && origin) {
        appId = identifier->identifyProcess(origin->pid, origin->stamp, origin->cgroup, origin->exeDevice,
                                            origin->exeInode);
        if (kernel && loopGuard_.reachedByAnother(destination, origin->pid, ProxyLoopGuard::Clock::now()) &&
            identifier->holdsProxyListener(origin->pid)) {
            // The proxy's own connection for a flow relayed a moment ago, come back: it goes direct and
            // the proxy keeps its connections from now on.
            platformLog().info("Sentorix platform: process " + std::to_string(origin->pid) +
                               " holds the proxy's listener; its connections go direct from now on");
            kernel->markProxyProcess(origin->pid);
            appId = ProcessIdentifier::ProxySidecarIdentifier;
        }
        if (kernel && provider && provider->declinesEveryFlowOf(appId)) {
            // Its next connect() stays its own, decided in the kernel.
            kernel->publish(origin->pid, origin->stamp, KernelInterception::Verdict::direct);
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
        std::move(hostname));
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

void LinuxProviderServices::kernelReported(const sentorix_event& event) {
    const auto [identifier, kernel] = identification();
    auto provider = provider_.lock();
    if (!identifier || !kernel) {
        return;
    }
    const auto& identity = event.identity;
    const std::string appId =
        identifier->identifyProcess(static_cast<int>(event.tgid), event.stamp, identity.cgroup, identity.exe_dev,
                                    identity.exe_inode);
    const bool direct = provider && provider->declinesEveryFlowOf(appId);
    // Every process of this program in this cgroup is decided in the kernel from now on.
    kernel->publishIdentity(identity, direct);
    if (direct) {
        kernel->publish(static_cast<int>(event.tgid), event.stamp, KernelInterception::Verdict::direct);
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
