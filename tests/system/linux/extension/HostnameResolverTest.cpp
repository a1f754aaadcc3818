#include "HostnameResolver.h"
#include "DispatchQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using linux_system::HostnameResolver;

TEST(HostnameResolver, ResolvesByTheSystemsResolverSharesLookupsAndMatchesMappedAddresses) {
    auto resolver = std::make_shared<HostnameResolver>(DispatchQueue::pool().get_executor());
    std::promise<HostnameResolver::Addresses> first, second;
    resolver->resolve("localhost", [&](const HostnameResolver::Addresses& addresses) { first.set_value(addresses); });
    resolver->resolve("localhost", [&](const HostnameResolver::Addresses& addresses) { second.set_value(addresses); });
    const auto addresses = first.get_future().get();
    EXPECT_EQ(second.get_future().get(), addresses);
    EXPECT_TRUE(HostnameResolver::contains(addresses, asio::ip::make_address("127.0.0.1"))) << "from /etc/hosts";
    EXPECT_TRUE(HostnameResolver::contains(addresses, asio::ip::make_address("::ffff:127.0.0.1")));
    EXPECT_FALSE(HostnameResolver::contains(addresses, asio::ip::make_address("192.0.2.7")));

    std::promise<HostnameResolver::Addresses> kept;
    resolver->resolve("localhost", [&](const HostnameResolver::Addresses& again) { kept.set_value(again); });
    auto keptFuture = kept.get_future();
    ASSERT_EQ(keptFuture.wait_for(0s), std::future_status::ready) << "a name just resolved is answered at once";
    EXPECT_EQ(keptFuture.get(), addresses);
}

// A resolver that answers "fast-*" at once and holds "slow-*" until the test lets them go. Shared with
// its lookups, which may still be waking from their wait after the test has ended.
struct HeldLookups : std::enable_shared_from_this<HeldLookups> {
    std::mutex mutex;
    std::condition_variable released;
    bool open = false;
    std::atomic<int> calls{0};

    HostnameResolver::Lookup lookup() {
        return [self = shared_from_this()](const std::string& name) {
            ++self->calls;
            if (name.rfind("slow-", 0) == 0) {
                std::unique_lock lock(self->mutex);
                self->released.wait(lock, [&self] { return self->open; });
            }
            return HostnameResolver::Addresses{asio::ip::make_address("192.0.2.1")};
        };
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        released.notify_all();
    }
};

// What a question got and how long it took.
struct Answer {
    std::promise<HostnameResolver::Addresses> addresses;
    std::chrono::steady_clock::time_point asked = std::chrono::steady_clock::now();
    std::promise<std::chrono::steady_clock::duration> took;
    HostnameResolver::Completion completion() {
        return [this](const HostnameResolver::Addresses& got) {
            took.set_value(std::chrono::steady_clock::now() - asked);
            addresses.set_value(got);
        };
    }
};

// A flood of names whose lookups never end, as a slow DNS server or random names under a listed suffix
// make: each question still ends within the patience, and nobody else waits behind them.
TEST(HostnameResolver, SlowNamesHoldUpOnlyTheirOwnQuestionsAndTheirLateAnswersAreKept) {
    const auto shared = std::make_shared<HeldLookups>();
    HeldLookups& held = *shared;
    struct Release {
        HeldLookups& held;
        ~Release() { held.release(); }  // the shared lookup threads go free whatever the test found
    } release{held};
    auto resolver = std::make_shared<HostnameResolver>(DispatchQueue::pool().get_executor(), 10s, held.lookup(), 200ms);
    Answer known;
    resolver->resolve("fast-known", known.completion());
    ASSERT_EQ(known.addresses.get_future().get().size(), 1u);

    std::vector<std::unique_ptr<Answer>> slow;
    for (std::size_t i = 0; i < 3 * HostnameResolver::MaxConcurrentLookups; ++i) {
        slow.push_back(std::make_unique<Answer>());
        resolver->resolve("slow-" + std::to_string(i % (2 * HostnameResolver::MaxConcurrentLookups)),
                          slow.back()->completion());
    }
    Answer again, fresh;
    resolver->resolve("fast-known", again.completion());
    resolver->resolve("fast-fresh", fresh.completion());
    EXPECT_LT(again.took.get_future().get(), 100ms) << "a name already known is answered from what is kept";
    EXPECT_EQ(again.addresses.get_future().get().size(), 1u);
    EXPECT_LT(fresh.took.get_future().get(), 100ms) << "with every lookup taken, a new name is not queued";
    EXPECT_TRUE(fresh.addresses.get_future().get().empty()) << "... and is unconfirmed";
    for (auto& answer : slow) {
        const auto took = answer->took.get_future().get();
        EXPECT_LT(took, 2s) << "no question outlasts the patience by much";
        EXPECT_TRUE(answer->addresses.get_future().get().empty());
    }
    EXPECT_EQ(held.calls.load(), 1 + int(HostnameResolver::MaxConcurrentLookups)) << "a lookup per name, and no more at once";

    held.release();
    Answer late;
    for (int i = 0; i < 200; ++i) {  // the released lookups come back in their own time
        std::promise<bool> kept;
        resolver->resolve("slow-0", [&](const HostnameResolver::Addresses& got) { kept.set_value(!got.empty()); });
        if (kept.get_future().get()) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    resolver->resolve("slow-0", late.completion());
    EXPECT_LT(late.took.get_future().get(), 100ms);
    EXPECT_EQ(late.addresses.get_future().get().size(), 1u) << "the late answer was kept for its lifetime";
}

}  // namespace
}  // namespace sentorix
