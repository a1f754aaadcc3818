#include "HostnameResolver.h"

#include "AddressWords.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>

namespace sentorix::linux_system {

// One question: answered once, by the lookup or by its patience running out, whichever comes first.
struct HostnameResolver::Waiter {
    Completion completion;
    asio::steady_timer patience;
    std::atomic<bool> answered{false};

    Waiter(Completion completion, const asio::any_io_executor& executor)
        : completion(std::move(completion)), patience(executor) {}
    void answer(const Addresses& addresses) {
        if (!answered.exchange(true)) {
            patience.cancel();
            completion(addresses);
        }
    }
};

HostnameResolver::HostnameResolver(asio::any_io_executor executor, std::chrono::steady_clock::duration lifetime,
                                   Lookup lookup, std::chrono::steady_clock::duration patience)
    : executor_(std::move(executor)), lifetime_(lifetime), lookup_(std::move(lookup)), patience_(patience) {}

HostnameResolver::Lookup HostnameResolver::systemLookup() {
    return [](const std::string& name) {
        asio::io_context context;
        asio::ip::tcp::resolver resolver(context);
        std::error_code error;
        const auto results = resolver.resolve(name, "", error);
        Addresses addresses;
        if (!error) {
            for (const auto& result : results) {
                addresses.push_back(result.endpoint().address());
            }
        }
        return addresses;
    };
}

asio::thread_pool& HostnameResolver::lookups() {
    static asio::thread_pool* const pool = new asio::thread_pool(MaxConcurrentLookups);
    return *pool;
}

void HostnameResolver::resolve(const std::string& name, Completion completion) {
    const auto now = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    auto found = entries_.find(name);
    if (found != entries_.end() && found->second.resolving) {
        found->second.waiting.push_back(waiter(std::move(completion)));
        return;
    }
    if (found != entries_.end() && found->second.expiry > now) {
        const Addresses addresses = found->second.addresses;
        lock.unlock();
        completion(addresses);
        return;
    }
    if (entries_.size() >= Capacity) {
        std::erase_if(entries_, [now](const auto& entry) { return !entry.second.resolving && entry.second.expiry <= now; });
    }
    if (running_ >= MaxConcurrentLookups || entries_.size() >= Capacity) {
        // Every lookup taken, or full of live names: unconfirmed, at once, rather than queued behind them.
        lock.unlock();
        completion({});
        return;
    }
    Entry& entry = entries_[name];
    entry.resolving = true;
    entry.waiting.push_back(waiter(std::move(completion)));
    ++running_;
    asio::post(lookups(), [weak = weak_from_this(), lookup = lookup_, name] {
        auto addresses = lookup(name);
        if (auto self = weak.lock()) {
            self->resolved(name, std::move(addresses));
        }
    });
}

std::shared_ptr<HostnameResolver::Waiter> HostnameResolver::waiter(Completion completion) {
    auto waiter = std::make_shared<Waiter>(std::move(completion), executor_);
    waiter->patience.expires_after(patience_);
    waiter->patience.async_wait([waiter](const std::error_code& error) {
        if (!error) {
            waiter->answer({});
        }
    });
    return waiter;
}

void HostnameResolver::resolved(const std::string& name, Addresses addresses) {
    std::vector<std::shared_ptr<Waiter>> waiting;
    {
        std::lock_guard lock(mutex_);
        --running_;
        Entry& entry = entries_[name];
        entry.resolving = false;
        entry.expiry = std::chrono::steady_clock::now() + lifetime_;
        entry.addresses = addresses;
        waiting.swap(entry.waiting);
    }
    // On the executor, as a lookup that had timed out would have: the lookup's thread is free at once.
    asio::post(executor_, [waiting = std::move(waiting), addresses = std::move(addresses)] {
        for (const auto& waiter : waiting) {
            waiter->answer(addresses);
        }
    });
}

bool HostnameResolver::contains(const Addresses& addresses, const asio::ip::address& address) {
    const auto wanted = unmapped(address);
    return std::any_of(addresses.begin(), addresses.end(),
                       [&](const asio::ip::address& candidate) { return unmapped(candidate) == wanted; });
}

}  // namespace sentorix::linux_system
