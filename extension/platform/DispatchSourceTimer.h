#pragma once

#include "DispatchQueue.h"
#include "DispatchTimer.h"

#include <asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace sentorix {

// A timer source whose handler runs on a dispatch queue: one-shot or repeating. Ticks that fall due
// while an earlier one has not yet run are merged, as the platform's timer sources do.
class DispatchSourceTimer : public DispatchTimer, public std::enable_shared_from_this<DispatchSourceTimer> {
public:
    static std::shared_ptr<DispatchSourceTimer> create(std::shared_ptr<DispatchQueue> queue);

    // First deadline `after` from now; `repeating` absent for a one-shot timer. The leeway is accepted for
    // fidelity; Asio's timers fire as close to the deadline as they can.
    void schedule(Duration after, std::optional<Duration> repeating, Duration leeway = Duration::zero()) override;
    void setEventHandler(std::function<void()> handler) override;
    // Starts a scheduled timer.
    void resume() override;
    // After cancel returns, no handler starts any more; one already running may finish.
    void cancel() override;
    bool isCancelled() const override;

    explicit DispatchSourceTimer(std::shared_ptr<DispatchQueue> queue);

private:
    void armLocked();
    void fired(const std::error_code& error, unsigned generation);
    void runHandler();

    const std::shared_ptr<DispatchQueue> queue_;
    mutable std::mutex mutex_;
    asio::steady_timer timer_;
    std::function<void()> handler_;
    std::chrono::steady_clock::time_point deadline_{};
    std::optional<Duration> interval_;
    bool resumed_ = false;
    bool cancelled_ = false;
    bool tickQueued_ = false;
    unsigned generation_ = 0;
};

}  // namespace sentorix
