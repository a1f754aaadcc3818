#pragma once

#include "platform/DispatchQueue.h"
#include "platform/DispatchTimer.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace sentorix {

// Every tunnel's handshake deadline on one serial queue and one timer. A queue and a timer of its own
// per tunnel cost a flow more than its watchdog ever does: nearly every deadline is removed long before
// it falls due.
class ProxyTunnelHandshakeDeadlines : public std::enable_shared_from_this<ProxyTunnelHandshakeDeadlines> {
public:
    // When a deadline falls due, and its place among those due at the same instant.
    using Key = std::pair<MonotonicClock::TimePoint, std::uint64_t>;

    explicit ProxyTunnelHandshakeDeadlines(std::shared_ptr<DispatchTimerFactory> timers);
    // One for the process, on the system's timers.
    static std::shared_ptr<ProxyTunnelHandshakeDeadlines> system();
    ~ProxyTunnelHandshakeDeadlines();
    ProxyTunnelHandshakeDeadlines(const ProxyTunnelHandshakeDeadlines&) = delete;
    ProxyTunnelHandshakeDeadlines& operator=(const ProxyTunnelHandshakeDeadlines&) = delete;

    // Calls `expired` once on the queue, `after` from now, unless removed first.
    Key add(DispatchTimer::Duration after, std::function<void()> expired);
    // Nothing is called for a deadline removed before it fell due; removing one already gone does nothing.
    // One falling due as it is removed may still be called: callers keep their own state for that race.
    void remove(const Key& key);

    std::size_t pendingCount() const;
    const std::shared_ptr<DispatchTimerFactory>& timers() const { return timers_; }

private:
    void fire();
    // Called with lock_ held. The timer's own lock is taken inside this one, never the other way.
    void armLocked(MonotonicClock::TimePoint at);

    const std::shared_ptr<DispatchTimerFactory> timers_;
    const std::shared_ptr<DispatchQueue> queue_;
    mutable std::mutex lock_;
    std::map<Key, std::function<void()>> pending_;
    std::uint64_t nextSequence_ = 0;
    std::shared_ptr<DispatchTimer> timer_;
    // The instant the timer is set for; absent while it is not set. A deadline removed early leaves the
    // timer set: it wakes once for nothing rather than being set again for every removal.
    std::optional<MonotonicClock::TimePoint> armedFor_;
};

}  // namespace sentorix
