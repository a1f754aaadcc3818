#pragma once

#include <asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <array>
#include <unordered_map>

namespace sentorix::linux_system {

// Tells when a flow may be the local proxy's own upstream connection come back, which the kernel could
// not recognise (a proxy that was handed its listener): one destination reached by two processes
// within a moment, as a relayed flow and the proxy's connection for it are. Only then is the process
// looked at closely, so that a loop is stopped at its first turn without costing every flow.
class ProxyLoopGuard {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration Window = std::chrono::seconds(5);
    static constexpr std::size_t MaxDestinations = 4096;

    // Records that `pid` reached `destination`; true when another process reached it within the window.
    bool reachedByAnother(const asio::ip::tcp::endpoint& destination, int pid, Clock::time_point now);

private:
    struct Key {
        std::array<unsigned char, 16> address{};  // IPv4 as mapped
        unsigned short port = 0;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept;
    };
    struct Last {
        int pid = 0;
        Clock::time_point at;
    };
    std::mutex mutex_;
    std::unordered_map<Key, Last, KeyHash> last_;
};

}  // namespace sentorix::linux_system
