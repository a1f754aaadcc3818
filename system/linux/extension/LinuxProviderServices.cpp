#include "LinuxProviderServices.h"

#include "RateLimitedLog.h"
#include "SocketAppProxyTCPFlow.h"
#include "SocketTCPConnection.h"
#include "SpliceRelay.h"
#include "DispatchQueue.h"
#include "OSLog.h"

#include <asio/post.hpp>

#include <sys/socket.h>

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
      listener_(DispatchQueue::pool(), [this](asio::ip::tcp::socket socket, asio::ip::tcp::endpoint application,
                                              asio::ip::tcp::endpoint destination) {
          intercepted(std::move(socket), application, destination);
      }) {}

LinuxProviderServices::~LinuxProviderServices() { stop(); }

void LinuxProviderServices::attach(std::weak_ptr<NETransparentProxyProvider> provider) { provider_ = std::move(provider); }

void LinuxProviderServices::setTunnelNetworkSettings(std::shared_ptr<const NETransparentProxyNetworkSettings> settings,
                                                     std::function<void(OptionalError)> completionHandler) {
    asio::post(DispatchQueue::pool(), [self = shared_from_this(), settings, completion = std::move(completionHandler)] {
        OptionalError error;
        {
            std::lock_guard lock(self->rulesMutex_);
            if (!self->identifier_) {
                self->identifier_ = std::make_shared<ProcessIdentifier>(proxyEndpoint(*settings));
            }
            std::string problem;
            const auto port = self->listener_.open(problem);
            if (!port) {
                error = NSError::posix(EADDRNOTAVAIL, "Cannot intercept connections: " + problem);
            } else {
                error = self->rules_.apply(*settings, *port, OwnMark);
            }
        }
        const auto& included = settings->includedNetworkRules;
        const bool hasUdp = included && std::any_of(included->begin(), included->end(), [](const NENetworkRule& r) {
                                return r.matchProtocol() == NENetworkRuleProtocol::UDP;
                            });
        if (!error && hasUdp && !self->udpNoted_.exchange(true)) {
            platformLog().info("Sentorix platform: UDP rules are not applied yet; UDP traffic passes untouched");
        }
        completion(error);
    });
}

std::shared_ptr<NWTCPConnection> LinuxProviderServices::createTCPConnection(const NWHostEndpoint& endpoint) {
    return SocketTCPConnection::connect(endpoint, static_cast<int>(OwnMark));
}

void LinuxProviderServices::stop() {
    listener_.close();
    std::lock_guard lock(rulesMutex_);
    rules_.remove();
}

void LinuxProviderServices::intercepted(asio::ip::tcp::socket socket, asio::ip::tcp::endpoint application,
                                        asio::ip::tcp::endpoint destination) {
    std::shared_ptr<ProcessIdentifier> identifier;
    {
        std::lock_guard lock(rulesMutex_);
        identifier = identifier_;
    }
    const std::string appId = identifier ? identifier->identify(application, destination) : "";
    auto flow = SocketAppProxyTCPFlow::adopt(
        std::move(socket), NEFlowMetaData{appId},
        std::make_shared<NWHostEndpoint>(destination.address().to_string(), std::to_string(destination.port())));
    auto provider = provider_.lock();
    if (provider && provider->handleNewFlow(flow)) {
        return;
    }
    carryDirectly(flow->takeSocket(), destination);
}

void LinuxProviderServices::carryDirectly(asio::ip::tcp::socket accepted, asio::ip::tcp::endpoint destination) {
    auto strand = asio::make_strand(DispatchQueue::pool().get_executor());
    std::error_code error;
    auto application = std::make_shared<asio::ip::tcp::socket>(strand);
    application->assign(destination.protocol(), accepted.release(), error);
    auto upstream = std::make_shared<asio::ip::tcp::socket>(strand);
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
        SpliceRelay::start(strand, std::move(*application), std::move(*upstream), [] {});
    });
}

}  // namespace sentorix::linux_system
