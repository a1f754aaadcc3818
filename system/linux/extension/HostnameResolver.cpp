#include "HostnameResolver.h"

#include "AddressWords.h"

#include <asio/ip/tcp.hpp>

#include <algorithm>

namespace sentorix::linux_system {

namespace {

HostnameResolver::Addresses addressesOf(const std::error_code& error,
                                        const asio::ip::tcp::resolver::results_type& results) {
    HostnameResolver::Addresses addresses;
    if (!error) {
        for (const auto& result : results) {
            addresses.push_back(result.endpoint().address());
        }
    }
    return addresses;
}

}  // namespace

HostnameResolver::HostnameResolver(asio::any_io_executor executor, std::chrono::steady_clock::duration lifetime)
    : executor_(std::move(executor)), lifetime_(lifetime) {}

void HostnameResolver::resolve(const std::string& name, Completion completion) {
    const auto now = std::chrono::steady_clock::now();
    {
        std::unique_lock lock(mutex_);
        auto found = entries_.find(name);
        if (found != entries_.end() && found->second.resolving) {
            found->second.waiting.push_back(std::move(completion));
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
        if (entries_.size() >= Capacity) {
            // Still full of live names: answer this one without keeping it.
            lock.unlock();
            auto resolver = std::make_shared<asio::ip::tcp::resolver>(executor_);
            resolver->async_resolve(name, "", [resolver, completion = std::move(completion)](
                                                  const std::error_code& error, asio::ip::tcp::resolver::results_type results) {
                completion(addressesOf(error, results));
            });
            return;
        }
        Entry& entry = entries_[name];
        entry.resolving = true;
        entry.waiting.push_back(std::move(completion));
    }
    auto resolver = std::make_shared<asio::ip::tcp::resolver>(executor_);
    resolver->async_resolve(name, "", [self = shared_from_this(), resolver, name](
                                          const std::error_code& error, asio::ip::tcp::resolver::results_type results) {
        self->resolved(name, addressesOf(error, results));
    });
}

void HostnameResolver::resolved(const std::string& name, Addresses addresses) {
    std::vector<Completion> waiting;
    {
        std::lock_guard lock(mutex_);
        Entry& entry = entries_[name];
        entry.resolving = false;
        entry.expiry = std::chrono::steady_clock::now() + lifetime_;
        entry.addresses = addresses;
        waiting.swap(entry.waiting);
    }
    for (auto& completion : waiting) {
        completion(addresses);
    }
}

bool HostnameResolver::contains(const Addresses& addresses, const asio::ip::address& address) {
    const auto wanted = unmapped(address);
    return std::any_of(addresses.begin(), addresses.end(),
                       [&](const asio::ip::address& candidate) { return unmapped(candidate) == wanted; });
}

}  // namespace sentorix::linux_system
