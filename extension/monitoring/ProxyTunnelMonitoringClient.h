#pragma once

#include "ProxyTunnelMonitoringEvent.h"
#include "ProxyTunnelMonitoringFrameEncoder.h"
#include "platform/DispatchQueue.h"
#include "platform/MonotonicClock.h"
#include "platform/NSData.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace sentorix {

// Delivers events to the monitoring endpoint without ever blocking the emitter: each event is encoded
// and sent on the client's serial queue, over a fresh connection to the socket path.
class ProxyTunnelMonitoringClient {
public:
    using Sender = std::function<OptionalError(const std::string& path, const NSData& frame)>;

    static constexpr std::size_t DefaultMaxPendingJobs = 4096;
    static constexpr std::chrono::milliseconds DefaultSendTimeLimit{2000};
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

    // The default sender: one connection, one frame. Connect and the whole write each get `timeLimit`;
    // running out fails the send like any other connect or write error.
    static OptionalError sendFrameToSocket(const std::string& path, const NSData& frame,
                                           std::chrono::milliseconds timeLimit = DefaultSendTimeLimit);
    static Sender defaultSender();
    static Sender defaultSender(std::chrono::milliseconds timeLimit);

private:
    // Outlives the client: jobs already queued keep counting and reporting after it is gone.
    struct Backlog {
        Backlog(std::size_t limit, std::shared_ptr<const MonotonicClock> clock)
            : limit(limit), clock(std::move(clock)) {}
        const std::size_t limit;
        // Spaces the drop reports.
        const std::shared_ptr<const MonotonicClock> clock;
        std::atomic<std::size_t> pending{0};
        std::mutex dropMutex;
        std::size_t dropped = 0;
        std::optional<MonotonicClock::TimePoint> lastDropReport;

        void recordDrop();
        void reportDropsIfDue();
    };

    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<const ProxyTunnelMonitoringFrameEncoder> encoder_;
    Sender sender_;
    std::mutex lock_;
    std::optional<std::string> socketPath_;
    std::shared_ptr<Backlog> backlog_;
};

}  // namespace sentorix
