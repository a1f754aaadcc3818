#include "RateLimitedLog.h"

#include "PlatformLog.h"
#include "DispatchQueue.h"

#include <asio/error.hpp>
#include <asio/steady_timer.hpp>

#include <cerrno>
#include <map>
#include <mutex>

namespace sentorix::linux_system {

struct RateLimitedLog::State {
    State(OSLog log, OSLogType type, Format format, Interval interval)
        : log(std::move(log)), type(type), format(std::move(format)), interval(interval),
          timer(DispatchQueue::pool()) {}

    // Takes what is pending for one line; called with `mutex` held.
    std::uint64_t take(std::string& detail, std::chrono::steady_clock::time_point now) {
        detail = std::move(latest);
        latest.clear();
        nextLine = now + interval;
        return std::exchange(pending, 0);
    }
    void write(std::uint64_t count, const std::string& detail) const { log.log(type, format(count, detail)); }
    void flush();

    const OSLog log;
    const OSLogType type;
    const Format format;
    const Interval interval;
    std::mutex mutex;  // guards everything below
    asio::steady_timer timer;
    std::uint64_t pending = 0;
    std::string latest;
    std::chrono::steady_clock::time_point nextLine{};
    bool flushArmed = false;
};

void RateLimitedLog::State::flush() {
    std::uint64_t count = 0;
    std::string detail;
    {
        std::lock_guard lock(mutex);
        flushArmed = false;
        if (pending == 0) {
            return;
        }
        count = take(detail, std::chrono::steady_clock::now());
    }
    write(count, detail);
}

RateLimitedLog::RateLimitedLog(OSLog log, OSLogType type, Format format, Interval interval)
    : state_(std::make_shared<State>(std::move(log), type, std::move(format), interval)) {}

RateLimitedLog::~RateLimitedLog() {
    std::lock_guard lock(state_->mutex);
    state_->timer.cancel();
}

void RateLimitedLog::note(std::string_view detail) {
    State& state = *state_;
    std::uint64_t count = 0;
    std::string latest;
    {
        std::lock_guard lock(state.mutex);
        ++state.pending;
        state.latest.assign(detail);
        if (state.flushArmed) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now < state.nextLine) {
            state.flushArmed = true;
            state.timer.expires_at(state.nextLine);
            state.timer.async_wait([weak = std::weak_ptr<State>(state_)](const std::error_code& error) {
                auto alive = weak.lock();
                if (!error && alive) {
                    alive->flush();
                }
            });
            return;
        }
        count = state.take(latest, now);
    }
    state.write(count, latest);
}

std::string RateLimitedLog::times(std::uint64_t count) {
    return count > 1 ? " (" + std::to_string(count) + " times)" : std::string();
}

bool RateLimitedLog::isDescriptorShortage(const std::error_code& error) {
    // Asio's system category and the standard one do not compare equal: the number decides.
    const bool system = error.category() == std::system_category() || error.category() == std::generic_category() ||
                        error.category() == asio::error::get_system_category();
    return system && (error.value() == EMFILE || error.value() == ENFILE);
}

void RateLimitedLog::noteIfDescriptorShortage(const std::string& what, const std::error_code& error) {
    if (!isDescriptorShortage(error)) {
        return;
    }
    static std::mutex mutex;
    // Never destroyed: pool threads may still fail while the process exits.
    static auto* logs = new std::map<std::string, RateLimitedLog>;
    RateLimitedLog* log = nullptr;
    {
        std::lock_guard lock(mutex);
        log = &logs->try_emplace(what, platformLog(), OSLogType::Error,
                                 [what](std::uint64_t count, const std::string& detail) {
                                     return "Sentorix platform: cannot " + what + ": " + detail + times(count);
                                 })
                   .first->second;
    }
    log->note(error.message());
}

}  // namespace sentorix::linux_system
