#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/ip/address.hpp>
#include <asio/thread_pool.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace sentorix::linux_system {

// A host name's addresses by the system's resolver (so /etc/hosts counts), looked up off the caller's
// thread and kept for a short time; concurrent questions about one name share one lookup. Lookups run a
// few at a time on threads of their own, and nobody waits for one longer than the patience: a slow or
// hostile name holds up its own questions only, and a name asked while every lookup is taken is answered
// at once with no address, as if it had not resolved.
class HostnameResolver : public std::enable_shared_from_this<HostnameResolver> {
public:
    using Addresses = std::vector<asio::ip::address>;
    using Completion = std::function<void(const Addresses&)>;
    // Blocks until the name resolves or fails (no addresses); runs on the resolver's own threads.
    using Lookup = std::function<Addresses(const std::string& name)>;

    static constexpr std::chrono::seconds Lifetime{10};
    static constexpr std::size_t Capacity = 1024;
    static constexpr std::size_t MaxConcurrentLookups = 8;
    static constexpr std::chrono::milliseconds Patience{1000};

    explicit HostnameResolver(asio::any_io_executor executor, std::chrono::steady_clock::duration lifetime = Lifetime,
                              Lookup lookup = systemLookup(),
                              std::chrono::steady_clock::duration patience = Patience);

    // `completion` gets the addresses (none when the name does not resolve, or not within the patience):
    // at once from what is kept, else later, on the executor.
    void resolve(const std::string& name, Completion completion);

    // Whether `address` is one of `addresses`, an IPv4 address reached as IPv6 counting as itself.
    static bool contains(const Addresses& addresses, const asio::ip::address& address);
    static Lookup systemLookup();

private:
    struct Waiter;
    struct Entry {
        std::chrono::steady_clock::time_point expiry;
        Addresses addresses;
        std::vector<std::shared_ptr<Waiter>> waiting;  // while the lookup runs
        bool resolving = false;
    };
    // Arms the waiter's patience; before anything that could answer it is under way.
    std::shared_ptr<Waiter> waiter(Completion completion);
    void resolved(const std::string& name, Addresses addresses);
    // Shared and never destroyed: a lookup may block for seconds, and nothing should wait for it to end.
    static asio::thread_pool& lookups();

    const asio::any_io_executor executor_;
    const std::chrono::steady_clock::duration lifetime_;
    const Lookup lookup_;
    const std::chrono::steady_clock::duration patience_;
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::size_t running_ = 0;  // lookups under way
};

}  // namespace sentorix::linux_system
