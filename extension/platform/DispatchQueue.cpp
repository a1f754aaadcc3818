#include "DispatchQueue.h"

#include <asio/post.hpp>

#include <algorithm>
#include <thread>

namespace sentorix {

asio::thread_pool& DispatchQueue::pool() {
    // Never destroyed: blocks may still run while the process exits.
    static asio::thread_pool* pool = new asio::thread_pool(std::max(2u, std::thread::hardware_concurrency()));
    return *pool;
}

asio::thread_pool& DispatchQueue::waitingPool() {
    // Wider than the cores: its threads spend their time waiting.
    static asio::thread_pool* pool = new asio::thread_pool(std::max(4u, std::thread::hardware_concurrency() + 2));
    return *pool;
}

std::shared_ptr<DispatchQueue> DispatchQueue::create(std::string label, Kind kind, Work work) {
    return std::make_shared<DispatchQueue>(std::move(label), kind, work);
}

DispatchQueue::DispatchQueue(std::string label, Kind kind, Work work)
    : label_(std::move(label)), kind_(kind), pool_(work == Work::MayWait ? waitingPool() : pool()) {}

void DispatchQueue::async(std::function<void()> block) {
    enqueue(Item{std::move(block), kind_ == Kind::Serial, nullptr});
}

void DispatchQueue::asyncBarrier(std::function<void()> block) { enqueue(Item{std::move(block), true, nullptr}); }

void DispatchQueue::enqueue(Item item) {
    std::vector<Item> runnable;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(item));
        collectRunnable(runnable);
    }
    launch(runnable);
}

void DispatchQueue::beginSync(bool barrier) {
    Waiter waiter;
    std::vector<Item> runnable;
    {
        std::unique_lock lock(mutex_);
        const bool free = pending_.empty() && !runningBarrier_ && (barrier ? runningPlain_ == 0 : true);
        if (free) {
            // Nothing ahead of us: claim the queue without a hand-over.
            waiter.go = true;
            if (barrier) {
                runningBarrier_ = true;
            } else {
                ++runningPlain_;
            }
        } else {
            pending_.push_back(Item{nullptr, barrier, &waiter});
            collectRunnable(runnable);
        }
    }
    launch(runnable);
    {
        std::unique_lock lock(mutex_);
        waiterReady_.wait(lock, [&] { return waiter.go; });
    }
}

void DispatchQueue::collectRunnable(std::vector<Item>& out) {
    while (!pending_.empty() && !runningBarrier_) {
        Item& front = pending_.front();
        if (front.barrier) {
            if (runningPlain_ > 0) {
                return;
            }
            runningBarrier_ = true;
        } else {
            ++runningPlain_;
        }
        if (front.waiter) {
            front.waiter->go = true;
        }
        out.push_back(std::move(front));
        pending_.pop_front();
    }
}

void DispatchQueue::launch(std::vector<Item>& items) {
    bool wakeWaiters = false;
    for (auto& item : items) {
        if (item.waiter) {
            wakeWaiters = true;
            continue;
        }
        asio::post(pool_, [self = shared_from_this(), block = std::move(item.block), barrier = item.barrier] {
            block();
            self->finished(barrier);
        });
    }
    if (wakeWaiters) {
        waiterReady_.notify_all();
    }
    items.clear();
}

void DispatchQueue::finished(bool barrier) {
    std::vector<Item> runnable;
    {
        std::lock_guard lock(mutex_);
        if (barrier) {
            runningBarrier_ = false;
        } else {
            --runningPlain_;
        }
        collectRunnable(runnable);
    }
    launch(runnable);
}

}  // namespace sentorix
