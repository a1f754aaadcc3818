#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/ip/address.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace sentorix::linux_system {

// A host name's addresses by the system's resolver (so /etc/hosts counts), looked up off the caller's
// thread and kept for a short time; concurrent questions about one name share one lookup.
class HostnameResolver : public std::enable_shared_from_this<HostnameResolver> {
public:
    using Addresses = std::vector<asio::ip::address>;
    using Completion = std::function<void(const Addresses&)>;

    static constexpr std::chrono::seconds Lifetime{10};
    static constexpr std::size_t Capacity = 1024;

    explicit HostnameResolver(asio::any_io_executor executor, std::chrono::steady_clock::duration lifetime = Lifetime);

    // `completion` gets the addresses (none when the name does not resolve): at once from what is kept,
    // else later, on the executor.
    void resolve(const std::string& name, Completion completion);

    // Whether `address` is one of `addresses`, an IPv4 address reached as IPv6 counting as itself.
    static bool contains(const Addresses& addresses, const asio::ip::address& address);

private:
    struct Entry {
        std::chrono::steady_clock::time_point expiry;
        Addresses addresses;
        std::vector<Completion> waiting;  // while the lookup runs
        bool resolving = false;
    };
    void resolved(const std::string& name, Addresses addresses);

    const asio::any_io_executor executor_;
    const std::chrono::steady_clock::duration lifetime_;
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace sentorix::linux_system
