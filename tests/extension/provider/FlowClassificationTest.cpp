#include "FakeProviderServices.h"
#include "FakeTCPFlow.h"
#include "FakeUDPFlow.h"
#include "LogCapture.h"
#include "provider/PacketTunnelProvider.h"

#include <gtest/gtest.h>

#include <atomic>

namespace sentorix {
namespace {

using testing::FakeProviderServices;
using testing::FakeTCPFlow;
using testing::FakeUDPFlow;
using testing::LogCapture;
using Action = PacketTunnelProvider::FlowAction;

// Records the flows handed on for relaying instead of relaying them.
class RecordingProvider : public PacketTunnelProvider {
public:
    using PacketTunnelProvider::PacketTunnelProvider;
    using PacketTunnelProvider::determineNormalFlowAction;

    struct Started {
        std::shared_ptr<NEAppProxyTCPFlow> flow;
        std::string appId;
    };
    std::vector<Started> started;

protected:
    void startTunnel(const std::shared_ptr<NEAppProxyTCPFlow>& flow, const std::string& appId) override {
        started.push_back({flow, appId});
    }
};

// A flow of a kind the provider does not know.
class OtherFlow : public NEAppProxyFlow {
public:
    const NEFlowMetaData& metaData() const override { return metaData_; }
    void open(std::shared_ptr<NWHostEndpoint>, std::function<void(OptionalError)>) override { opened = true; }
    void closeReadWithError(OptionalError) override {}
    void closeWriteWithError(OptionalError) override {}
    bool opened = false;
    NEFlowMetaData metaData_{"com.example.app"};
};

class Classification : public ::testing::Test {
protected:
    void SetUp() override { openGate(); }
    void openGate() { provider->safetyGate()->setProxyUnavailable(false); }
    void closeGate() { provider->safetyGate()->setProxyUnavailable(true); }

    Action classify(const std::string& appId, const std::string& host, bool udp = false) {
        return provider->determineNormalFlowAction(appId, host, udp);
    }

    LogCapture logs;
    std::atomic<double> now{1'000'000.0};
    std::shared_ptr<RecordingProvider> provider =
        std::make_shared<RecordingProvider>(std::make_shared<FakeProviderServices>(), [this] { return now.load(); });
};

TEST_F(Classification, ListRulesFirstMatchWins) {
    EXPECT_EQ(classify("com.apple.mDNSResponder", "example.com"), Action::bypass);
    EXPECT_EQ(classify("COM.APPLE.MDNSRESPONDER", "example.com"), Action::bypass);
    EXPECT_EQ(classify("com.apple.mdnsresponder", "example.com", true), Action::bypass);
    EXPECT_EQ(classify("com.example.app", "example.com"), Action::proxyTCP);
    EXPECT_EQ(classify("com.example.app", "example.com", true), Action::dropUDP);
    EXPECT_EQ(classify("com.example.app", "us04web.zoom.us", true), Action::bypass) << "meeting UDP is left alone";
    EXPECT_EQ(classify("com.example.app", "us04web.zoom.us"), Action::proxyTCP) << "meeting TCP is relayed";
}

TEST_F(Classification, SuffixEntriesMatchSubdomainsOnlyAndHostsAreNormalised) {
    // ".gstatic.com" is a suffix entry with no exact twin; ".googlevideo.com" has one.
    EXPECT_EQ(classify("a", "fonts.gstatic.com"), Action::bypass);
    EXPECT_EQ(classify("a", "gstatic.com"), Action::proxyTCP);
    EXPECT_EQ(classify("a", "googlevideo.com"), Action::bypass);
    EXPECT_EQ(classify("a", "RR3---SN.GoogleVideo.com."), Action::bypass);
    EXPECT_EQ(classify("a", "..www.apple.com.."), Action::bypass);
    EXPECT_EQ(classify("a", "notapple.com"), Action::proxyTCP) << "a suffix match includes its dot";
    EXPECT_EQ(classify("a", "mask.icloud.com"), Action::bypass);
    EXPECT_EQ(classify("a", "x.cdn.cookielaw.org"), Action::proxyTCP) << "exact entries match only themselves";
}

TEST_F(Classification, HandleNewFlowActsOnEachDecision) {
    const auto bypassed = FakeTCPFlow::to("www.apple.com", "443");
    EXPECT_FALSE(provider->handleNewFlow(bypassed));
    EXPECT_TRUE(bypassed->calls().empty());

    const auto udp = FakeUDPFlow::to("203.0.113.9", "443");
    EXPECT_TRUE(provider->handleNewFlow(udp));
    EXPECT_EQ(udp->calls(), (std::vector<std::string>{"closeRead", "closeWrite"})) << "closed without error";

    const auto meetingUdp = FakeUDPFlow::to("zoom.us", "443");
    EXPECT_FALSE(provider->handleNewFlow(meetingUdp));
    EXPECT_TRUE(meetingUdp->calls().empty());

    for (const std::string host : {"127.0.0.1", "localhost"}) {
        const auto toProxy = FakeTCPFlow::to(host, "8080");
        EXPECT_FALSE(provider->handleNewFlow(toProxy)) << host;
        EXPECT_TRUE(toProxy->calls().empty());
    }

    const auto relayed = FakeTCPFlow::to("127.0.0.1", "443", "  com.example.app\n");
    EXPECT_TRUE(provider->handleNewFlow(relayed));
    EXPECT_EQ(relayed->calls(), std::vector<std::string>{"open"}) << "opened with no local endpoint";
    EXPECT_TRUE(provider->started.empty()) << "the tunnel starts only once the open completes";
    ASSERT_TRUE(relayed->completeOpen());
    ASSERT_EQ(provider->started.size(), 1u);
    EXPECT_EQ(provider->started[0].flow, relayed);
    EXPECT_EQ(provider->started[0].appId, "  com.example.app\n") << "the tunnel gets the identifier unchanged";

    const auto other = std::make_shared<OtherFlow>();
    EXPECT_FALSE(provider->handleNewFlow(other));
    EXPECT_FALSE(other->opened);
}

TEST_F(Classification, ANameFromTheFirstBytesDecidesInsteadOfTheAddressButNeverMakesALocalProxyFlow) {
    const auto named = FakeTCPFlow::to("192.0.2.2", "443");
    named->setRemoteHostname("www.apple.com");
    EXPECT_FALSE(provider->handleNewFlow(named)) << "a listed name is bypassed";
    EXPECT_TRUE(named->calls().empty());

    const auto unnamed = FakeTCPFlow::to("192.0.2.2", "443");
    EXPECT_TRUE(provider->handleNewFlow(unnamed)) << "the same address without the name is relayed";
    EXPECT_TRUE(unnamed->completeOpen());

    const auto spoofed = FakeTCPFlow::to("192.0.2.2", "8080");
    spoofed->setRemoteHostname("localhost");
    EXPECT_TRUE(provider->handleNewFlow(spoofed)) << "only the address says a flow goes to the local proxy";
    EXPECT_TRUE(spoofed->completeOpen());

    EXPECT_TRUE(provider->declinesFlowsTo("WWW.Apple.com.")) << "names are normalised as hosts are";
    EXPECT_FALSE(provider->declinesFlowsTo("apple.com.example"));
}

TEST_F(Classification, FirstBytesGoToTheParserTheirFirstByteCallsFor) {
    const std::string request = "GET / HTTP/1.1\r\nHost: Files.Example:8443\r\n\r\n";
    const auto http = provider->hostnameInFirstBytes(
        std::span(reinterpret_cast<const std::uint8_t*>(request.data()), request.size()));
    EXPECT_EQ(http.status, PeekedHostname::Status::Found);
    EXPECT_EQ(http.hostname, "files.example");
    const std::uint8_t recordStart[] = {22, 3, 1};
    EXPECT_EQ(provider->hostnameInFirstBytes(recordStart).status, PeekedHostname::Status::NeedMore);
}

TEST_F(Classification, ClassifiesTheTrimmedIdentifier) {
    const auto flow = FakeTCPFlow::to("example.com", "443", " com.apple.trustd \n");
    EXPECT_FALSE(provider->handleNewFlow(flow));
    EXPECT_TRUE(provider->bypassCacheEntry("com.apple.trustd:example.com:tcp").has_value());
}

TEST_F(Classification, FlowWithoutHostEndpointIsClassifiedAsUnknown) {
    const auto flow = std::make_shared<FakeTCPFlow>(std::nullopt, std::make_shared<NWEndpoint>());
    EXPECT_TRUE(provider->handleNewFlow(flow));
    EXPECT_TRUE(provider->bypassCacheEntry(":unknown:tcp").has_value());
    EXPECT_TRUE(flow->completeOpen());  // the pending completion holds the flow
}

TEST_F(Classification, FailedOpenIsLoggedAndClosesWithThatError) {
    const auto flow = FakeTCPFlow::to("example.com", "443");
    ASSERT_TRUE(provider->handleNewFlow(flow));
    const NSError failure = NSError::posix(ECONNRESET, "The flow was reset");
    flow->completeOpen(failure);
    EXPECT_EQ(logs->countStartingWith("SentorixProxy: Failed to open flow: The flow was reset"), 1u);
    EXPECT_EQ(flow->closeReadError(), OptionalError(failure));
    EXPECT_EQ(flow->closeWriteError(), OptionalError(failure));
    EXPECT_TRUE(provider->started.empty());
}

TEST_F(Classification, OpenCompletingAfterTheProviderIsGoneDoesNothing) {
    const auto flow = FakeTCPFlow::to("example.com", "443");
    ASSERT_TRUE(provider->handleNewFlow(flow));
    provider.reset();
    EXPECT_TRUE(flow->completeOpen());
    EXPECT_EQ(flow->calls(), std::vector<std::string>{"open"});
}

TEST_F(Classification, ClosedGateBypassesEveryActionAndLeavesUdpOpen) {
    closeGate();
    for (auto action : {Action::bypass, Action::dropUDP, Action::proxyTCP}) {
        EXPECT_EQ(provider->applyProxySafetyGate(action, true), Action::bypass);
        EXPECT_EQ(provider->applyProxySafetyGate(action, false), Action::bypass);
    }
    const auto udp = FakeUDPFlow::to("203.0.113.9", "443");
    EXPECT_FALSE(provider->handleNewFlow(udp));
    EXPECT_TRUE(udp->calls().empty());
    const auto tcp = FakeTCPFlow::to("example.com", "443");
    EXPECT_FALSE(provider->handleNewFlow(tcp));
    EXPECT_TRUE(tcp->calls().empty());

    openGate();
    for (auto action : {Action::bypass, Action::dropUDP, Action::proxyTCP}) {
        EXPECT_EQ(provider->applyProxySafetyGate(action, true), action);
        EXPECT_EQ(provider->applyProxySafetyGate(action, false), action);
    }
}

TEST_F(Classification, NewProviderBypassesUntilTheProxyIsFound) {
    auto fresh = std::make_shared<RecordingProvider>(std::make_shared<FakeProviderServices>());
    EXPECT_FALSE(fresh->handleNewFlow(FakeTCPFlow::to("example.com", "443")));
}

class BypassCache : public Classification {
protected:
    void flow(const std::string& host, const std::string& port = "443") {
        provider->handleNewFlow(FakeTCPFlow::to(host, port));
    }
};

TEST_F(BypassCache, PortIsNotPartOfTheKey) {
    closeGate();  // keep the flows from opening; the cache stores the decision before the gate
    flow("example.com", "443");
    flow("example.com", "8000");
    EXPECT_EQ(provider->bypassCacheCount(), 1u);
    const auto entry = provider->bypassCacheEntry("com.example.app:example.com:tcp");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->action, Action::proxyTCP);
}

TEST_F(BypassCache, APeekedNameIsTheKeySoAnUnprovenFlowToTheSameAddressDoesNotHitIt) {
    const auto named = FakeTCPFlow::to("192.0.2.2", "443");
    named->setRemoteHostname("www.apple.com");
    provider->handleNewFlow(named);
    ASSERT_TRUE(provider->bypassCacheEntry("com.example.app:www.apple.com:tcp").has_value());
    EXPECT_FALSE(provider->bypassCacheEntry("com.example.app:192.0.2.2:tcp").has_value());
    const auto unnamed = FakeTCPFlow::to("192.0.2.2", "443");
    EXPECT_TRUE(provider->handleNewFlow(unnamed)) << "the address is decided on its own";
    EXPECT_TRUE(unnamed->completeOpen());
}

TEST_F(BypassCache, EntryExpiringNowIsExpiredAndAHitDoesNotExtendIt) {
    closeGate();
    flow("example.com");
    const double expiry = now + 30.0;
    ASSERT_EQ(provider->bypassCacheEntry("com.example.app:example.com:tcp")->expiry, expiry);

    now = expiry - 0.001;
    flow("example.com");
    EXPECT_EQ(provider->bypassCacheEntry("com.example.app:example.com:tcp")->expiry, expiry) << "a hit stores nothing";

    now = expiry;
    flow("example.com");
    EXPECT_EQ(provider->bypassCacheEntry("com.example.app:example.com:tcp")->expiry, expiry + 30.0);
}

TEST_F(BypassCache, SoftLimitPrunesOnlyExpiredEntriesAndOnlyAbove2000) {
    closeGate();
    for (int i = 0; i < 2000; ++i) {
        flow("h" + std::to_string(i) + ".example");
    }
    EXPECT_EQ(provider->bypassCacheCount(), 2000u);
    now = now + 100.0;  // every entry so far has expired
    flow("late-1.example");
    EXPECT_EQ(provider->bypassCacheCount(), 2001u) << "2000 entries do not prune";
    flow("late-2.example");
    EXPECT_EQ(provider->bypassCacheCount(), 2u) << "above 2000 the next store drops every expired entry";
}

TEST_F(BypassCache, NothingIsPrunedWhileEveryEntryIsValid) {
    closeGate();
    for (int i = 0; i < 2003; ++i) {
        flow("h" + std::to_string(i) + ".example");
    }
    EXPECT_EQ(provider->bypassCacheCount(), 2003u);
}

}  // namespace
}  // namespace sentorix
