#include "FlowRedirection.h"
#include "LinuxProviderServices.h"
#include "NEAppProxyUDPFlow.h"
#include "NETunnelProviderProtocol.h"
#include "LogCapture.h"
#include "ProcessIdentifier.h"
#include "RecordingMonitoringClient.h"
#include "TestConnectProxy.h"
#include "tunnel/SXTunnelConnection.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <future>
#include <set>
#include <thread>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using linux_system::FlowOrigin;
using linux_system::FlowRedirection;
using linux_system::LinuxProviderServices;
using linux_system::Result;
using testing::listenLoopback;
using testing::TestConnectProxy;

// Stands in for the kernel programs: hands the listener the origin the test gives it and records what
// the services ask.
class FakeRedirection : public FlowRedirection {
public:
    Result<void> apply(const NETransparentProxyNetworkSettings&, std::uint16_t listenerPort, bool,
                       const Processes& processes) override {
        std::lock_guard lock(mutex);
        port = listenerPort;
        proxyProcesses = processes.proxyProcesses();
        decidesRunning = static_cast<bool>(processes.declinesEveryFlow);
        claimingWhenApplied = claiming;
        return applyError ? Result<void>(*applyError) : Result<void>();
    }
    void setClaiming(bool value) override {
        std::lock_guard lock(mutex);
        claiming = value;
    }
    std::optional<FlowOrigin> takeOrigin(const asio::ip::tcp::endpoint&) override {
        std::lock_guard lock(mutex);
        return std::exchange(next, std::nullopt);
    }
    void markProxyProcess(int pid) override {
        std::lock_guard lock(mutex);
        markedProxy.insert(pid);
    }
    void publishDirect(int pid, std::uint64_t stamp) override {
        std::lock_guard lock(mutex);
        direct.emplace(pid, stamp);
    }
    void publishIdentity(const sentorix_identity& identity, bool isDirect) override {
        std::lock_guard lock(mutex);
        identities.emplace_back(identity.cgroup, isDirect);
    }
    Result<void> reassert() override { return linux_system::failure(EIO, "Cannot put the redirection back: gone"); }
    void stop() override { stopped = true; }

    std::mutex mutex;
    std::optional<NSError> applyError;
    std::optional<FlowOrigin> next;
    std::uint16_t port = 0;
    std::vector<int> proxyProcesses;
    bool decidesRunning = false;
    bool claiming = false;
    std::optional<bool> claimingWhenApplied;
    std::set<int> markedProxy;
    std::set<std::pair<int, std::uint64_t>> direct;
    std::vector<std::pair<std::uint64_t, bool>> identities;
    std::atomic<bool> stopped{false};
    FlowRedirection::Reports reports;
};

// A provider whose decisions the test sets: relays through the proxy, declines, or keeps the flow.
class ScriptedProvider : public NETransparentProxyProvider {
public:
    enum class Verdict { relay, decline };
    ScriptedProvider(std::shared_ptr<NEProviderServices> services, NWHostEndpoint proxy)
        : NETransparentProxyProvider(std::move(services)), proxy_(std::move(proxy)) {}

    void startProxy(const std::optional<PropertyListValue::Dictionary>&, std::function<void(OptionalError)>) override {}
    void stopProxy(NEProviderStopReason, std::function<void()>) override {}
    bool handleNewFlow(const std::shared_ptr<NEAppProxyFlow>& flow) override {
        {
            std::lock_guard lock(mutex_);
            flows_.push_back(flow);
        }
        offered_.notify_all();
        auto tcp = std::dynamic_pointer_cast<NEAppProxyTCPFlow>(flow);
        if (!tcp || verdict == Verdict::decline) {
            return false;
        }
        tcp->open(nullptr, [this, tcp](OptionalError) {
            auto tunnel = std::make_shared<SXTunnelConnection>(tcp, createTCPConnection(proxy_), "FLOW-ID",
                                                               tcp->metaData().sourceAppSigningIdentifier.value_or(""), 5.0,
                                                               monitoring, std::weak_ptr<SXTunnelConnectionOwner>());
            {
                std::lock_guard lock(mutex_);
                tunnels_.push_back(tunnel);
            }
            tunnel->start();
        });
        return true;
    }
    bool declinesEveryFlowOf(const std::string& appId) const override { return declinedApps.contains(appId); }
    PeekedHostname hostnameInFirstBytes(std::span<const std::uint8_t> bytes) const override {
        const std::string text(bytes.begin(), bytes.end());
        const auto at = text.find("Host: ");
        const auto end = at == std::string::npos ? at : text.find("\r\n", at);
        if (end == std::string::npos) {
            return {};
        }
        return {PeekedHostname::Status::Found, text.substr(at + 6, end - at - 6)};
    }
    bool declinesFlowsTo(const std::string& hostname) const override { return declinedHosts.contains(hostname); }

    // The flows offered so far, once there are `count`.
    std::vector<std::shared_ptr<NEAppProxyFlow>> waitForFlows(std::size_t count) {
        std::unique_lock lock(mutex_);
        offered_.wait_for(lock, 5s, [&] { return flows_.size() >= count; });
        return flows_;
    }

    Verdict verdict = Verdict::relay;
    std::set<std::string> declinedApps;
    std::set<std::string> declinedHosts;
    std::shared_ptr<testing::RecordingMonitoringClient> monitoring = std::make_shared<testing::RecordingMonitoringClient>();

private:
    const NWHostEndpoint proxy_;
    std::mutex mutex_;
    std::condition_variable offered_;
    std::vector<std::shared_ptr<NEAppProxyFlow>> flows_;
    std::vector<std::shared_ptr<SXTunnelConnection>> tunnels_;
};

// Answers each connection's request with "reply to " and the request, then closes it.
class EchoDestination {
public:
    explicit EchoDestination(const char* address = "127.0.0.1") : fd_(listenOn(address)) {
        thread_ = std::thread([this] {
            for (;;) {
                UniqueFd peer(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (!peer.valid() || stopping_) {
                    return;
                }
                char buffer[512];
                const ssize_t n = ::recv(peer.get(), buffer, sizeof buffer, 0);
                const std::string reply = "reply to " + std::string(buffer, n > 0 ? std::size_t(n) : 0);
                (void)!::send(peer.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
            }
        });
    }
    ~EchoDestination() {
        stopping_ = true;
        ::shutdown(fd_.get(), SHUT_RDWR);
        thread_.join();
    }
    asio::ip::tcp::endpoint endpoint() const { return endpoint_; }

private:
    UniqueFd listenOn(const char* address) {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in at{AF_INET, 0, {}, {}};
        ::inet_pton(AF_INET, address, &at.sin_addr);
        socklen_t length = sizeof at;
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd.get(), 16) != 0 ||
            ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&at), &length) != 0) {
            ADD_FAILURE() << "cannot listen on " << address;
        }
        endpoint_ = asio::ip::tcp::endpoint(asio::ip::make_address(address), ntohs(at.sin_port));
        return fd;
    }

    asio::ip::tcp::endpoint endpoint_;
    UniqueFd fd_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

class LinuxProviderServicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        services = std::make_shared<LinuxProviderServices>(std::make_shared<NETunnelProviderProtocol>(),
                                                           [this](FlowRedirection::Reports reports) {
                                                               redirection->reports = std::move(reports);
                                                               return redirection;
                                                           });
        provider = std::make_shared<ScriptedProvider>(services, proxyEndpoint());
        services->attach(provider);
    }
    void TearDown() override { services->stop(); }

    NWHostEndpoint proxyEndpoint() const { return NWHostEndpoint("127.0.0.1", std::to_string(proxy.port())); }
    NETransparentProxyNetworkSettings settings() const {
        NETransparentProxyNetworkSettings out("127.0.0.1");
        out.includedNetworkRules = std::vector<NENetworkRule>{
            NENetworkRule(NWHostEndpoint("127.0.0.0", "0"), 8, NENetworkRuleProtocol::TCP)};
        out.excludedNetworkRules = std::vector<NENetworkRule>{NENetworkRule(proxyEndpoint(), 32, NENetworkRuleProtocol::TCP)};
        return out;
    }
    OptionalError applySettings() {
        std::promise<OptionalError> done;
        services->setTunnelNetworkSettings(std::make_shared<NETransparentProxyNetworkSettings>(settings()),
                                           [&](OptionalError error) { done.set_value(std::move(error)); });
        auto future = done.get_future();
        EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
        return future.get();
    }
    // An application's connection the redirection sent to the listener, recorded as made by `pid` to
    // `destination`; it sends `request` at once.
    UniqueFd connectAsIfRedirected(const asio::ip::tcp::endpoint& destination, const std::string& request,
                                   int pid = ::getpid(), std::uint64_t stamp = 7) {
        {
            std::lock_guard lock(redirection->mutex);
            redirection->next = FlowOrigin{destination, pid, stamp, 0, 0, 0};
        }
        UniqueFd client = testing::connectLoopback(redirection->port);
        const timeval timeout{5, 0};
        ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        EXPECT_EQ(::send(client.get(), request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
        return client;
    }
    static std::string readAll(const UniqueFd& fd) {
        std::string out;
        char buffer[512];
        for (ssize_t n; (n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;) {
            out.append(buffer, std::size_t(n));
        }
        return out;
    }
    // What the identifier names this process: the flows below are all recorded as made by it.
    std::string ownIdentifier() {
        linux_system::ProcessIdentifier identifier(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), proxy.port()));
        return identifier.identifyProcess(::getpid(), 7, 0);
    }

    testing::LogCapture log;
    TestConnectProxy proxy;
    std::shared_ptr<FakeRedirection> redirection = std::make_shared<FakeRedirection>();
    std::shared_ptr<LinuxProviderServices> services;
    std::shared_ptr<ScriptedProvider> provider;
};

TEST_F(LinuxProviderServicesTest, SettingsOpenTheListenerAndApplyTheRulesWithTheClaimAsItStands) {
    services->setClaimsNewFlows(true);
    ASSERT_FALSE(applySettings());
    std::lock_guard lock(redirection->mutex);
    EXPECT_NE(redirection->port, 0);
    EXPECT_EQ(redirection->claimingWhenApplied, std::optional(false)) << "claimed only once the rules are in";
    EXPECT_TRUE(redirection->claiming);
    EXPECT_TRUE(redirection->decidesRunning) << "a provider is attached: running processes can be decided";
    EXPECT_NE(std::find(redirection->proxyProcesses.begin(), redirection->proxyProcesses.end(), ::getpid()),
              redirection->proxyProcesses.end())
        << "this process holds the proxy's listener";
}

TEST_F(LinuxProviderServicesTest, FailuresOfTheRedirectionReachTheProviderAsTheyAre) {
    services->setClaimsNewFlows(true);
    redirection->applyError = NSError::posix(EINVAL, "Cannot set the network rules in the kernel: more than 64");
    const auto error = applySettings();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "Cannot set the network rules in the kernel: more than 64");
    EXPECT_FALSE(redirection->claiming) << "rules that failed are not claimed for";
    const auto reasserted = services->reassertRedirection();
    ASSERT_FALSE(reasserted);
    EXPECT_EQ(reasserted.error().localizedDescription(), "Cannot put the redirection back: gone");
    services->stop();
    EXPECT_TRUE(redirection->stopped);
}

// Intercepted, named by its process and its first bytes, relayed through the proxy to the destination.
TEST_F(LinuxProviderServicesTest, ARelayedFlowIsNamedAndReachesItsDestinationThroughTheProxy) {
    ASSERT_FALSE(applySettings());
    EchoDestination destination;
    const std::string request = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
    const auto client = connectAsIfRedirected(destination.endpoint(), request);
    EXPECT_EQ(readAll(client), "reply to " + request);

    const auto flows = provider->waitForFlows(1);
    ASSERT_EQ(flows.size(), 1u);
    EXPECT_EQ(flows[0]->metaData().sourceAppSigningIdentifier, ownIdentifier());
    const auto tcp = std::dynamic_pointer_cast<NEAppProxyTCPFlow>(flows[0]);
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->remoteHostname(), "localhost");
    const auto remote = std::dynamic_pointer_cast<NWHostEndpoint>(tcp->remoteEndpoint());
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->port(), std::to_string(destination.endpoint().port()));
    ASSERT_EQ(proxy.requests().size(), 1u);
    EXPECT_TRUE(proxy.requests()[0].starts_with("CONNECT 127.0.0.1:" + std::to_string(destination.endpoint().port())));
    std::lock_guard lock(redirection->mutex);
    EXPECT_TRUE(redirection->direct.empty()) << "a relayed application is not published direct";
}

// Declined by the provider, the flow is carried to its destination by the system, not the proxy; an
// application every flow of which is declined is published direct for its next connect().
TEST_F(LinuxProviderServicesTest, ADeclinedFlowIsCarriedDirectlyAndItsApplicationPublished) {
    ASSERT_FALSE(applySettings());
    provider->verdict = ScriptedProvider::Verdict::decline;
    provider->declinedApps = {ownIdentifier()};
    EchoDestination destination;
    const auto client = connectAsIfRedirected(destination.endpoint(), "ping", ::getpid(), 42);
    EXPECT_EQ(readAll(client), "reply to ping");
    EXPECT_EQ(provider->waitForFlows(1).size(), 1u);
    // A connection to the proxy begun while the application was silent is let go unused.
    for (const auto& seen : proxy.requests()) {
        EXPECT_FALSE(seen.starts_with("CONNECT")) << seen;
    }
    std::lock_guard lock(redirection->mutex);
    EXPECT_EQ(redirection->direct, (std::set<std::pair<int, std::uint64_t>>{{::getpid(), 42}}));
}

// A name that would send the flow direct counts only when the destination is one of its addresses.
TEST_F(LinuxProviderServicesTest, ADecidingHostnameIsKeptOnlyForOneOfItsAddresses) {
    ASSERT_FALSE(applySettings());
    provider->verdict = ScriptedProvider::Verdict::decline;
    provider->declinedHosts = {"localhost"};
    EchoDestination own("127.0.0.1"), other("127.0.0.2");
    const std::string request = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
    const auto first = connectAsIfRedirected(own.endpoint(), request);
    readAll(first);
    const auto second = connectAsIfRedirected(other.endpoint(), request);
    readAll(second);
    const auto flows = provider->waitForFlows(2);
    ASSERT_EQ(flows.size(), 2u);
    EXPECT_EQ(std::dynamic_pointer_cast<NEAppProxyTCPFlow>(flows[0])->remoteHostname(), "localhost");
    EXPECT_EQ(std::dynamic_pointer_cast<NEAppProxyTCPFlow>(flows[1])->remoteHostname(), "")
        << "127.0.0.2 is not localhost's: the flow is decided by its address";
}

// The proxy's own connection for a flow relayed a moment ago comes back: it goes direct, and the proxy
// keeps its connections from then on.
TEST_F(LinuxProviderServicesTest, TheProxysOwnConnectionComingBackIsMarkedAndNamedAsTheProxy) {
    ASSERT_FALSE(applySettings());
    provider->verdict = ScriptedProvider::Verdict::decline;
    EchoDestination destination;
    const auto application = connectAsIfRedirected(destination.endpoint(), "first", 1);
    readAll(application);
    const auto proxyOwn = connectAsIfRedirected(destination.endpoint(), "second");  // this process holds it
    readAll(proxyOwn);
    const auto flows = provider->waitForFlows(2);
    ASSERT_EQ(flows.size(), 2u);
    EXPECT_EQ(flows[1]->metaData().sourceAppSigningIdentifier, linux_system::ProcessIdentifier::ProxySidecarIdentifier);
    std::lock_guard lock(redirection->mutex);
    EXPECT_TRUE(redirection->markedProxy.contains(::getpid()));
    EXPECT_FALSE(redirection->markedProxy.contains(1));
}

// What the redirection reports: the identity decided back, and a refused UDP flow offered under it.
TEST_F(LinuxProviderServicesTest, AReportedUDPFlowIsOfferedAndItsIdentityDecided) {
    ASSERT_FALSE(applySettings());
    provider->declinedApps = {ownIdentifier()};
    sentorix_event event{};
    event.kind = SENTORIX_EVENT_UDP_FLOW;
    event.tgid = static_cast<std::uint32_t>(::getpid());
    event.stamp = 9;
    event.identity.cgroup = 1234;
    event.family = AF_INET;
    const auto loopback = asio::ip::make_address_v4("127.0.0.1").to_bytes();
    std::memcpy(event.local, loopback.data(), 4);
    event.local_port = 5353;
    redirection->reports(event);

    const auto flows = provider->waitForFlows(1);
    ASSERT_EQ(flows.size(), 1u);
    const auto udp = std::dynamic_pointer_cast<NEAppProxyUDPFlow>(flows[0]);
    ASSERT_TRUE(udp);
    EXPECT_EQ(udp->metaData().sourceAppSigningIdentifier, ownIdentifier());
    const auto local = std::dynamic_pointer_cast<NWHostEndpoint>(udp->localEndpoint());
    ASSERT_TRUE(local);
    EXPECT_EQ(local->hostname(), "127.0.0.1");
    EXPECT_EQ(local->port(), "5353");
    std::lock_guard lock(redirection->mutex);
    EXPECT_EQ(redirection->identities, (std::vector<std::pair<std::uint64_t, bool>>{{1234, true}}));
    EXPECT_EQ(redirection->direct, (std::set<std::pair<int, std::uint64_t>>{{::getpid(), 9}}));
}

}  // namespace
}  // namespace sentorix
