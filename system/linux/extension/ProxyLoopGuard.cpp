#include "ProxyLoopGuard.h"

namespace sentorix::linux_system {

std::size_t ProxyLoopGuard::KeyHash::operator()(const Key& key) const noexcept {
    std::size_t hash = key.port;
    for (const unsigned char byte : key.address) {
        hash = hash * 131 + byte;
    }
    return hash;
}

bool ProxyLoopGuard::reachedByAnother(const asio::ip::tcp::endpoint& destination, int pid, Clock::time_point now) {
    const auto address = destination.address();
    Key key;
    key.address = address.is_v4() ? asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()).to_bytes()
                                  : address.to_v6().to_bytes();
    key.port = destination.port();
    std::lock_guard lock(mutex_);
    if (last_.size() >= MaxDestinations && !last_.contains(key)) {
        std::erase_if(last_, [&](const auto& entry) { return now - entry.second.at > Window; });
        if (last_.size() >= MaxDestinations) {
            last_.clear();  // a burst to many names: forgetting costs a missed hint, never a wrong verdict
        }
    }
    Last& last = last_[key];
    const bool another = last.pid != 0 && last.pid != pid && now - last.at <= Window;
    last = Last{pid, now};
    return another;
}

}  // namespace sentorix::linux_system
