#pragma once

#include "UniqueFd.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <system_error>

#include "Result.h"
#include <vector>

namespace sentorix::linux_system {

// Empty pipes kept between bursts of a splice relay, so that a direction at rest holds none and the next
// burst does not pay for a new one. Thread-safe; keeps at most `capacity` pipes and closes the rest.
// At most `grownBudget` pipes are grown to PipeBytes at a time, the others keep the kernel's default
// size: flows whose peers stop reading each hold a full pipe, and the extension, running as root, is
// under no pipe allowance of the kernel's.
class PipePool {
public:
    struct Shrink {
        void operator()(std::atomic<std::size_t>* grown) const { grown->fetch_sub(1); }
    };
    struct Pipe {
        UniqueFd read, write;
        // Held by a grown pipe until it closes.
        std::unique_ptr<std::atomic<std::size_t>, Shrink> grown;
        bool valid() const { return read.valid() && write.valid(); }
    };

    static constexpr std::size_t SharedCapacity = 64;
    static constexpr int PipeBytes = 1 << 20;
    static constexpr std::size_t SharedGrownBudget = 256;  // 256 MiB of pipes

    // The pool of every relay in the process.
    static PipePool& shared();

    explicit PipePool(std::size_t capacity, std::size_t grownBudget = SharedGrownBudget);

    // A kept pipe, or a new one; the error says why none can be made.
    Result<Pipe> take();
    // Takes back a pipe that holds no bytes.
    void give(Pipe pipe);
    std::size_t idleCount() const;

private:
    const std::size_t capacity_;
    const std::size_t grownBudget_;
    std::atomic<std::size_t> grown_{0};
    mutable std::mutex mutex_;  // guards idle_; held for a push or a pop only
    std::vector<Pipe> idle_;
};

}  // namespace sentorix::linux_system
