#include "DispatchQueue.h"

#include <asio/defer.hpp>
#include <asio/post.hpp>

#include <algorithm>
#include <thread>
#include <utility>

namespace sentorix {

namespace {

// Brief blocks launched by a thread of the shared pool run once the handler at hand returns, rather than
// by waking another thread for a few microseconds of work. Asio may run that drain on any thread of the
// pool, hence the lock.
struct LaunchedHere {
    std::mutex mutex;
    std::deque<std::function<void()>> blocks;
    bool drainQueued = false;  // a drain will look at `blocks` again
};
thread_local const auto launchedHere = std::make_shared<LaunchedHere>();
thread_local LaunchedHere* draining = nullptr;  // the list this thread is running blocks from

void runLaunched(LaunchedHere& launched) {
    LaunchedHere* const outer = std::exchange(draining, &launched);
    for (;;) {
        std::function<void()> block;
        {
            std::lock_guard lock(launched.mutex);
            if (launched.blocks.empty()) {
                launched.drainQueued = false;
                break;
            }
            block = std::move(launched.blocks.front());
            launched.blocks.pop_front();
        }
        block();  // one at a time: should it wait, those after it are released
    }
    draining = outer;
}

void launchHere(asio::thread_pool& pool, std::function<void()> block) {
    {
        std::lock_guard lock(launchedHere->mutex);
        launchedHere->blocks.push_back(std::move(block));
        if (std::exchange(launchedHere->drainQueued, true)) {
            return;
        }
    }
    asio::defer(pool, [launched = launchedHere] { runLaunched(*launched); });
}

// Hands what `launched` holds to any thread of the pool. The drain that was to run it may be held up behind
// a thread that waits: blocks launched from now on ask for a drain of their own.
void release(LaunchedHere& launched) {
    std::deque<std::function<void()>> blocks;
    {
        std::lock_guard lock(launched.mutex);
        blocks.swap(launched.blocks);
        launched.drainQueued = false;
    }
    for (auto& block : blocks) {
        asio::post(DispatchQueue::pool(), std::move(block));
    }
}

// A thread about to wait may be waiting for a block held back for it.
void releaseLaunchedHere() {
    release(*launchedHere);
    if (draining && draining != launchedHere.get()) {
        release(*draining);
    }
}

}  // namespace

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
    bool queued = false;  // behind others: this thread may have to wait
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
            queued = true;
        }
    }
    launch(runnable);
    if (queued) {
        releaseLaunchedHere();
    }
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
        auto run = [self = shared_from_this(), block = std::move(item.block), barrier = item.barrier] {
            block();
            self->finished(barrier);
        };
        if (&pool_ == &pool() && pool_.get_executor().running_in_this_thread()) {
            launchHere(pool_, std::move(run));
        } else {
            asio::post(pool_, std::move(run));
        }
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
