#include "DispatchQueue.h"
#include "FlowRedirection.h"
#include "KernelFlowRedirection.h"
#include "LogCapture.h"
#include "NftablesFlowRedirection.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace sentorix {
namespace {

using linux_system::chooseFlowRedirection;
using linux_system::FlowRedirection;
using linux_system::KernelFlowRedirection;
using linux_system::NftablesFlowRedirection;

NETransparentProxyNetworkSettings settingsWithUdp() {
    NETransparentProxyNetworkSettings out("127.0.0.1");
    out.includedNetworkRules = std::vector<NENetworkRule>{
        NENetworkRule(NWHostEndpoint("0.0.0.0", "443"), 0, NENetworkRuleProtocol::TCP),
        NENetworkRule(NWHostEndpoint("0.0.0.0", "443"), 0, NENetworkRuleProtocol::UDP)};
    out.excludedNetworkRules = std::vector<NENetworkRule>{
        NENetworkRule(NWHostEndpoint("127.0.0.1", "8080"), 32, NENetworkRuleProtocol::TCP)};
    return out;
}

// Runs `body` on a thread of its own in a fresh network namespace; the reason when it cannot.
template <typename Body>
std::string inOwnNamespace(Body body) {
    if (::geteuid() != 0) {
        return "needs root to make a network namespace";
    }
    // Threads started from the thread below would stay in its namespace: the pool's are started here.
    static_cast<void>(DispatchQueue::pool().get_executor());
    std::string skip;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
            skip = "cannot make a network namespace here";
            return;
        }
        body();
    }).join();
    return skip;
}

// Restores SENTORIX_INTERCEPTION as it was.
class Interception {
public:
    explicit Interception(const char* value) {
        if (const char* was = std::getenv("SENTORIX_INTERCEPTION")) {
            previous_ = was;
        }
        value ? ::setenv("SENTORIX_INTERCEPTION", value, 1) : ::unsetenv("SENTORIX_INTERCEPTION");
    }
    ~Interception() {
        previous_ ? ::setenv("SENTORIX_INTERCEPTION", previous_->c_str(), 1) : ::unsetenv("SENTORIX_INTERCEPTION");
    }

private:
    std::optional<std::string> previous_;
};

// The table applies the TCP rules, says once that UDP ones are not, and goes with stop().
TEST(FlowRedirectionChoice, AskedForNftablesTheTableRedirectsAndSaysSo) {
    testing::LogCapture log;
    const Interception nftables("nftables");
    const auto skip = inOwnNamespace([&] {
        const auto redirection = chooseFlowRedirection([](const sentorix_event&) {});
        ASSERT_TRUE(std::dynamic_pointer_cast<NftablesFlowRedirection>(redirection));
        EXPECT_EQ(log->countStartingWith("Sentorix platform: kernel programs unavailable (SENTORIX_INTERCEPTION=nftables); "
                                         "redirecting with nftables"),
                  1u);
        for (int i = 0; i < 2; ++i) {
            const auto applied = redirection->apply(settingsWithUdp(), 4000, true, {});
            ASSERT_TRUE(applied) << applied.error().localizedDescription();
        }
        EXPECT_EQ(std::system("nft list table inet sentorix >/dev/null 2>&1"), 0);
        EXPECT_EQ(log->countStartingWith("Sentorix platform: UDP rules are not applied yet"), 1u);
        redirection->stop();
        EXPECT_NE(std::system("nft list table inet sentorix >/dev/null 2>&1"), 0) << "stopped: no table left";
    });
    if (!skip.empty()) {
        GTEST_SKIP() << skip;
    }
}

// Where the programs load they are chosen, and the running processes are decided through them.
TEST(FlowRedirectionChoice, TheKernelProgramsAreChosenWhereTheyLoad) {
    testing::LogCapture log;
    const Interception unset(nullptr);
    std::string unavailable;
    const auto skip = inOwnNamespace([&] {
        const auto redirection = chooseFlowRedirection([](const sentorix_event&) {});
        if (!std::dynamic_pointer_cast<KernelFlowRedirection>(redirection)) {
            unavailable = "kernel programs unavailable here";
            EXPECT_EQ(log->countStartingWith("Sentorix platform: kernel programs unavailable ("), 1u);
            return;
        }
        EXPECT_EQ(log->countStartingWith("Sentorix platform: kernel programs loaded; processes named in this pid "
                                         "namespace "),
                  1u);
        bool proxiesAsked = false;
        FlowRedirection::Processes processes{[&] { return proxiesAsked = true, std::vector<int>{}; },
                                             [](int, const sentorix_identity&) { return false; }};
        const auto applied = redirection->apply(settingsWithUdp(), 4000, true, processes);
        ASSERT_TRUE(applied) << applied.error().localizedDescription();
        EXPECT_TRUE(proxiesAsked) << "a proxy that listened before the programs keeps its connections";
        ASSERT_TRUE(redirection->reassert());
        EXPECT_EQ(log->countStartingWith("Sentorix platform: redirection put back (0 kernel programs attached again)"), 1u);
        redirection->stop();
        EXPECT_TRUE(redirection->reassert()) << "stopped: nothing to put back";
    });
    if (!skip.empty() || !unavailable.empty()) {
        GTEST_SKIP() << skip << unavailable;
    }
}

}  // namespace
}  // namespace sentorix
