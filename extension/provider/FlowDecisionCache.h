#pragma once

#include "FlowClassifier.h"
#include "platform/DispatchQueue.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace sentorix {

// Recent decisions, every action alike, for 30 seconds: a flow like one decided a moment ago is not
// classified again. Lookups run on the caller's thread under a shared lock; stores are batched into
// barrier blocks on their own queue, so that a lookup never waits for a store that has not run yet and
// a fresh store need not be visible at once.
class FlowDecisionCache : public std::enable_shared_from_this<FlowDecisionCache> {
public:
    struct Entry {
        FlowAction action;
        double expiry;  // seconds since 1970
    };

    static constexpr double LifetimeSeconds = 30.0;
    // Past this many entries, a store first drops the expired ones.
    static constexpr std::size_t SoftLimit = 2000;

    FlowDecisionCache();

    // The action stored for the key, while it has not expired at `now`.
    std::optional<FlowAction> lookup(const std::string& key, double now) const;
    // Stores asynchronously, in the order stores are made; the caller does not wait.
    void store(std::string key, FlowAction action, double now);

    // After every store made so far: for the host and for tests.
    std::size_t count() const;
    std::optional<Entry> entry(const std::string& key) const;

private:
    struct Store {
        std::string key;
        FlowAction action;
        double now;
    };
    // Runs as a barrier block on the queue.
    void applyPendingStores();

    // A store made while a drain is already queued joins it, so that a stream of new hosts wakes the
    // queue once per batch rather than once per flow.
    std::mutex pendingLock_;
    std::vector<Store> pending_;
    bool drainQueued_ = false;

    const std::shared_ptr<DispatchQueue> bypassCacheQueue;
    mutable std::shared_mutex lock_;
    std::unordered_map<std::string, Entry> bypassCache;
};

}  // namespace sentorix
