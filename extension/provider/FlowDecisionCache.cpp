#include "FlowDecisionCache.h"

#include <utility>

namespace sentorix {

FlowDecisionCache::FlowDecisionCache()
    : bypassCacheQueue(DispatchQueue::create("com.sentorix.bypassCache", DispatchQueue::Kind::Concurrent)) {}

std::optional<FlowAction> FlowDecisionCache::lookup(const std::string& key, double now) const {
    std::shared_lock lock(lock_);
    const auto found = bypassCache.find(key);
    if (found != bypassCache.end() && found->second.expiry > now) {
        return found->second.action;
    }
    return std::nullopt;  // an expired entry is ignored, not removed
}

void FlowDecisionCache::store(std::string key, FlowAction action, double now) {
    {
        std::lock_guard lock(pendingLock_);
        pending_.push_back({std::move(key), action, now});
        if (std::exchange(drainQueued_, true)) {
            return;
        }
    }
    bypassCacheQueue->asyncBarrier([self = shared_from_this()] { self->applyPendingStores(); });
}

void FlowDecisionCache::applyPendingStores() {
    std::vector<Store> stores;
    {
        std::lock_guard lock(pendingLock_);
        stores.swap(pending_);
        drainQueued_ = false;
    }
    std::unique_lock lock(lock_);
    for (auto& store : stores) {
        if (bypassCache.size() > SoftLimit) {
            std::erase_if(bypassCache, [now = store.now](const auto& entry) { return !(entry.second.expiry > now); });
        }
        bypassCache.insert_or_assign(std::move(store.key), Entry{store.action, store.now + LifetimeSeconds});
    }
}

std::size_t FlowDecisionCache::count() const {
    std::size_t count = 0;
    bypassCacheQueue->sync([&] {
        std::shared_lock lock(lock_);
        count = bypassCache.size();
    });
    return count;
}

std::optional<FlowDecisionCache::Entry> FlowDecisionCache::entry(const std::string& key) const {
    std::optional<Entry> result;
    bypassCacheQueue->sync([&] {
        std::shared_lock lock(lock_);
        if (const auto found = bypassCache.find(key); found != bypassCache.end()) {
            result = found->second;
        }
    });
    return result;
}

}  // namespace sentorix
