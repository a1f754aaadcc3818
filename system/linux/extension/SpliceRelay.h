#pragma once

#include "UniqueFd.h"

#include <asio/ip/tcp.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include <functional>
#include <memory>

namespace sentorix::linux_system {

// Copies bytes both ways between two connected sockets inside the kernel (splice through a pipe per
// direction). Each end of data is passed on as a half-close; an error resets both sides. `onDone`
// runs once, after both sockets are closed.
class SpliceRelay : public std::enable_shared_from_this<SpliceRelay> {
public:
    using Strand = asio::strand<asio::thread_pool::executor_type>;

    // Both sockets must use `strand` as their executor.
    static void start(Strand strand, asio::ip::tcp::socket a, asio::ip::tcp::socket b, std::function<void()> onDone);

    SpliceRelay(Strand strand, asio::ip::tcp::socket a, asio::ip::tcp::socket b, std::function<void()> onDone);

private:
    struct Direction {
        asio::ip::tcp::socket* from;
        asio::ip::tcp::socket* to;
        UniqueFd pipeRead, pipeWrite;
        std::size_t inPipe = 0;
        bool done = false;
        bool readArmed = false;
        bool writeArmed = false;
    };

    void begin();
    void step(Direction& direction);
    // Arms a wait, unless one is armed already.
    void arm(Direction& direction, bool forWrite);
    void finishDirection(Direction& direction);
    void fail();
    void closeAll();

    Strand strand_;
    asio::ip::tcp::socket a_, b_;
    Direction forward_, backward_;
    std::function<void()> onDone_;
    bool finished_ = false;
};

}  // namespace sentorix::linux_system
