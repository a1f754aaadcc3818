#pragma once

#include "ProxyTunnelMonitoringEvent.h"
#include "ProxyTunnelMonitoringFrameEncoder.h"
#include "platform/DispatchQueue.h"
#include "platform/MonotonicClock.h"
#include "platform/NSData.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sentorix {

// Delivers events to the monitoring endpoint without ever blocking the emitter: each event goes on a
// fresh connection to the socket path, one at a time and in emit order. One consumer on the client's
// serial queue sends everything pending each time it runs, and is woken only when the backlog goes from
// empty to not empty, so that a burst of events costs one wake-up, not one per event. Having sent, it
// waits GatherFor for more before it rests: while events keep coming, no emitter wakes it.
class ProxyTunnelMonitoringClient {
public:
    using Sender = std::function<OptionalError(const std::string& path, const NSData& frame)>;

    static constexpr std::size_t DefaultMaxPendingJobs = 4096;
    static constexpr std::chrono::milliseconds DefaultSendTimeLimit{2000};
    // How long the consumer, having sent what was pending, waits for more before it rests.
    static constexpr std::chrono::milliseconds GatherFor{1};
    static constexpr const char* FailurePrefix = "SentorixProxy monitoring send failed: ";

    ProxyTunnelMonitoringClient(std::optional<std::string> socketPath, std::shared_ptr<DispatchQueue> queue,
                                std::shared_ptr<const ProxyTunnelMonitoringFrameEncoder> encoder,
                                Sender sender = defaultSender(),
                                std::size_t maxPendingJobs = DefaultMaxPendingJobs,
                                std::shared_ptr<const MonotonicClock> clock = MonotonicClock::system());

    virtual ~ProxyTunnelMonitoringClient() = default;

    void updateSocketPath(std::optional<std::string> socketPath);
    // Virtual so that tests can record events in the order they are emitted.
    virtual void emit(ProxyTunnelMonitoringEvent event);
    // Whether an event emitted now would be sent: without a socket path nothing is, so nothing need be built.
    virtual bool wantsEvents() const { return delivering_.load(std::memory_order_relaxed); }
    // Builds and emits an event of a declared kind, only when it would be sent.
    void report(const ProxyTunnelMonitoringEventKind& kind, std::optional<std::string_view> flowID,
                std::initializer_list<std::string_view> context = {}, std::initializer_list<double> metrics = {}) {
        if (wantsEvents()) {
            emit(ProxyTunnelMonitoringEvent(kind, flowID ? std::optional<std::string>(*flowID) : std::nullopt, context,
                                            metrics));
        }
    }

    // Waits, `limit` at most, until every event emitted so far is sent or given up on: a process about
    // to end would otherwise take its last events (the provider's stop among them) with it. True when
    // nothing is left.
    bool waitUntilSent(std::chrono::milliseconds limit) const;

    // The default sender: one connection, one frame. Connect and the whole write each get `timeLimit`,
    // waited out only when the listener's backlog or buffer is full; running out fails the send like any
    // other connect or write error.
    static OptionalError sendFrameToSocket(const std::string& path, const NSData& frame,
                                           std::chrono::milliseconds timeLimit = DefaultSendTimeLimit);
    static Sender defaultSender();
    static Sender defaultSender(std::chrono::milliseconds timeLimit);

private:
    struct Job {
        ProxyTunnelMonitoringEvent event;
        std::shared_ptr<const std::string> path;  // as it was when the event was emitted
    };
    // Outlives the client: jobs already queued keep counting and reporting after it is gone.
    struct Backlog {
        Backlog(std::size_t limit, std::shared_ptr<const MonotonicClock> clock)
            : limit(limit), clock(std::move(clock)) {}
        const std::size_t limit;
        // Spaces the drop reports.
        const std::shared_ptr<const MonotonicClock> clock;
        // Emitted and not yet sent (waiting, or in the consumer's hands).
        std::atomic<std::size_t> pending{0};

        std::mutex jobsMutex;
        std::vector<Job> jobs;  // waiting for the consumer
        bool consuming = false;  // a consumer is queued or running

        std::mutex dropMutex;
        std::size_t dropped = 0;
        std::optional<MonotonicClock::TimePoint> lastDropReport;

        void recordDrop();
        void reportDropsIfDue();
    };
    static void consume(const std::shared_ptr<Backlog>& backlog, const ProxyTunnelMonitoringFrameEncoder& encoder,
                        const Sender& sender);

    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<const ProxyTunnelMonitoringFrameEncoder> encoder_;
    Sender sender_;
    mutable std::mutex lock_;
    std::shared_ptr<const std::string> socketPath_;  // null or non-empty
    std::atomic<bool> delivering_{false};
    std::shared_ptr<Backlog> backlog_;
};

}  // namespace sentorix
