#pragma once

#include "NSError.h"
#include "FlowStrand.h"
#include "PipePool.h"
#include "UniqueFd.h"

#include <asio/ip/tcp.hpp>

#include <cstdint>

#include <functional>
#include <memory>
#include <system_error>
#include <utility>

namespace sentorix::linux_system {

// Copies bytes both ways between two connected sockets inside the kernel (splice through a pipe per
// direction, taken from the pipe pool only while that direction's bytes move). Each end of data is
// passed on as a half-close; an error resets both sides. The completion runs once, inside the strand,
// after both sockets are closed.
class SpliceRelay : public std::enable_shared_from_this<SpliceRelay> {
public:
    using Strand = FlowStrand;
    // Typed on the strand: no type-erased executor to allocate per socket and per wait.
    using Socket = FlowSocket;
    // No error once both directions have ended; otherwise the first error. In the platform's terms, so
    // that a flow's completion is kept as it is rather than wrapped in another.
    using Completion = std::function<void(OptionalError)>;
    enum class End { A, B };

    // Nothing may be waiting on either socket.
    static std::shared_ptr<SpliceRelay> start(Strand strand, asio::ip::tcp::socket a, asio::ip::tcp::socket b,
                                              Completion onDone);
    // Sockets on `strand` come in as they are, still registered with the reactor.
    static std::shared_ptr<SpliceRelay> start(Strand strand, Socket a, Socket b, Completion onDone);
    static void start(Strand strand, asio::ip::tcp::socket a, asio::ip::tcp::socket b, std::function<void()> onDone);
    // A relay that begins once both ends have come through adopt(), each from the strand that owned it.
    static std::shared_ptr<SpliceRelay> awaiting(Strand strand, Completion onDone);

    // Takes a socket's descriptor out of it, with its protocol, for adopt(); invalid when it has none.
    // Nothing may be waiting on the socket.
    static std::pair<asio::ip::tcp, UniqueFd> release(asio::ip::tcp::socket& socket);
    // Hands in one end, from any thread; an invalid descriptor fails the relay.
    void adopt(End end, asio::ip::tcp protocol, UniqueFd socket);
    // Hands in one end as it is, from any thread; a closed socket fails the relay. `urgentInLine`: the
    // socket keeps urgent data in line already (set where it was made, or inherited from its listener),
    // so the relay need not set it.
    void adopt(End end, Socket socket, bool urgentInLine = false);
    // Ends the relay from any thread: both sockets close, reset with `reset`, and the completion runs with
    // ECANCELED. Does nothing once the relay has ended.
    void stop(bool reset);

    SpliceRelay(Strand strand, Completion onDone);

private:
    // Kept small: an idle flow holds two of these for as long as it lives.
    struct Direction {
        PipePool::Pipe pipe;  // held only while bytes move
        std::uint32_t inPipe = 0;
        bool done = false;
        bool readArmed = false;
        bool writeArmed = false;
        char probe = 0;  // the byte a read wait peeks at
    };

    Socket& source(const Direction& direction) { return &direction == &forward_ ? a_ : b_; }
    Socket& sink(const Direction& direction) { return &direction == &forward_ ? b_ : a_; }
    Strand strand() { return a_.get_executor(); }
    void adopted(End end, asio::ip::tcp protocol, UniqueFd socket);
    void adopted(End end, Socket socket, bool urgentInLine);
    void begin();
    void step(Direction& direction, bool bytesSeen);
    // Reads past an urgent mark, where splice() will not, into the direction's empty pipe; false once the
    // relay or the direction has ended.
    bool copyPastMark(Direction& direction);
    // Arms a wait, unless one is armed already.
    void arm(Direction& direction, bool forWrite);
    void woken(Direction& direction, const std::error_code& error, bool forWrite);
    template <bool Forward>
    struct ReadWoken;
    // False once the relay has failed for want of a pipe.
    bool takePipe(Direction& direction);
    void finishDirection(Direction& direction);
    void fail(std::error_code error);
    void closeAll(std::error_code error);

    Socket a_, b_;  // both on the relay's strand
    Direction forward_, backward_;
    Completion onDone_;
    int awaited_ = 2;  // ends still to come through adopt()
    bool urgentInLine_[2] = {false, false};  // by end: set already, where the socket was made
    bool finished_ = false;
    bool reset_ = false;
};

}  // namespace sentorix::linux_system
