#pragma once

#include <asio/thread_pool.hpp>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sentorix {

// A queue of blocks in the manner of the platform's dispatch queues, run on a shared Asio thread pool.
// Serial queues run one block at a time in order. Concurrent queues run plain blocks side by side;
// a barrier block waits for everything queued before it and runs alone.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    enum class Kind { Serial, Concurrent };
    // Whether a queue's blocks may wait (a probe's connect, a blocking send, a request to another
    // process). Those run on threads of their own, so that they never hold the threads flows run on.
    enum class Work { Brief, MayWait };

    static std::shared_ptr<DispatchQueue> create(std::string label, Kind kind, Work work = Work::Brief);

    const std::string& label() const { return label_; }
    Kind kind() const { return kind_; }

    void async(std::function<void()> block);
    void asyncBarrier(std::function<void()> block);
    // Runs the block on the calling thread once the queue lets it run; must not be called from the same
    // serial queue (or from a barrier of the same queue), as with the platform's queues. Templates, so
    // that the flow path's lookups allocate nothing.
    template <typename Block>
    void sync(Block&& block) {
        const bool barrier = kind_ == Kind::Serial;
        beginSync(barrier);
        std::forward<Block>(block)();
        finished(barrier);
    }
    template <typename Block>
    void syncBarrier(Block&& block) {
        beginSync(true);
        std::forward<Block>(block)();
        finished(true);
    }

    // The pool timers, sockets and brief queues run on: a thread per core, since each thread more is
    // one more to wake, and wait for, on a flow's path.
    static asio::thread_pool& pool();
    // The pool of queues whose blocks may wait.
    static asio::thread_pool& waitingPool();

    DispatchQueue(std::string label, Kind kind, Work work = Work::Brief);

private:
    struct Waiter {
        bool go = false;
    };
    struct Item {
        std::function<void()> block;
        bool barrier;
        Waiter* waiter;
    };

    void enqueue(Item item);
    // Waits until the queue lets a synchronous block run on the calling thread.
    void beginSync(bool barrier);
    // Moves runnable items out of pending_; called with mutex_ held.
    void collectRunnable(std::vector<Item>& out);
    void launch(std::vector<Item>& items);
    void finished(bool barrier);

    const std::string label_;
    const Kind kind_;
    asio::thread_pool& pool_;  // where its blocks run
    std::mutex mutex_;
    std::condition_variable waiterReady_;
    std::deque<Item> pending_;
    int runningPlain_ = 0;
    bool runningBarrier_ = false;
};

}  // namespace sentorix
