#pragma once

#include "UniqueFd.h"

#include <cstddef>
#include <mutex>
#include <system_error>
#include <vector>

namespace sentorix::linux_system {

// Empty pipes kept between bursts of a splice relay, so that a direction at rest holds none and the next
// burst does not pay for a new one. Thread-safe; keeps at most `capacity` pipes and closes the rest.
class PipePool {
public:
    struct Pipe {
        UniqueFd read, write;
        bool valid() const { return read.valid() && write.valid(); }
    };

    static constexpr std::size_t SharedCapacity = 64;
    static constexpr int PipeBytes = 1 << 20;

    // The pool of every relay in the process.
    static PipePool& shared();

    explicit PipePool(std::size_t capacity);

    // A kept pipe, or a new one; invalid, with `error` set, when none can be made.
    Pipe take(std::error_code& error);
    // Takes back a pipe that holds no bytes.
    void give(Pipe pipe);
    std::size_t idleCount() const;

private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;  // guards idle_; held for a push or a pop only
    std::vector<Pipe> idle_;
};

}  // namespace sentorix::linux_system
