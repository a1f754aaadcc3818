#include "PipePool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace sentorix::linux_system {

PipePool& PipePool::shared() {
    // Never destroyed: relays on the dispatch pool's threads may still hand pipes back while the process
    // exits, after static objects would have been torn down.
    static PipePool* const pool = new PipePool(SharedCapacity);
    return *pool;
}

PipePool::PipePool(std::size_t capacity, std::size_t grownBudget) : capacity_(capacity), grownBudget_(grownBudget) {
    idle_.reserve(capacity);
}

Result<PipePool::Pipe> PipePool::take() {
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            Pipe pipe = std::move(idle_.back());
            idle_.pop_back();
            return Result<Pipe>(std::move(pipe));
        }
    }
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return failure(errno, std::string("Cannot create a pipe: ") + std::strerror(errno));
    }
    Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1]), nullptr};
    // Larger moves per call, while the budget lasts.
    if (grown_.fetch_add(1) < grownBudget_ && ::fcntl(pipe.write.get(), F_SETPIPE_SZ, PipeBytes) >= 0) {
        pipe.grown.reset(&grown_);
    } else {
        grown_.fetch_sub(1);
    }
    return Result<Pipe>(std::move(pipe));
}

void PipePool::give(Pipe pipe) {
    if (!pipe.valid()) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (idle_.size() < capacity_) {
        idle_.push_back(std::move(pipe));
    }  // beyond the bound the pipe closes as it goes
}

std::size_t PipePool::idleCount() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

}  // namespace sentorix::linux_system
