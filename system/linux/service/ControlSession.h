#pragma once

#include "ControlMessage.h"

#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sentorix::linux_system {

// One client of the control socket, on the service's io_context. Reads one frame at a time and reads
// the next only once the answer is queued, so a client has at most one request in flight; refuses a
// frame longer than the limit from its header alone; ends a client that sends nothing complete for
// `idle` (unless it listens for status changes) or lets answers pile up unread.
class ControlSession : public std::enable_shared_from_this<ControlSession> {
public:
    using Dictionary = ControlMessage::Dictionary;
    // Gets each well-formed request and answers it, now or later, through `answer`.
    using Handler = std::function<void(const std::shared_ptr<ControlSession>&, Dictionary request)>;

    static constexpr std::size_t MaxQueuedFrames = 32;
    // Unread answers beyond the largest one and a few pushes end the client.
    static constexpr std::size_t MaxQueuedBytes = ControlMessage::MaxAnswerBytes + ControlMessage::MaxBodyBytes;

    ControlSession(asio::local::stream_protocol::socket socket, bool authorised, std::chrono::milliseconds idle,
                   Handler handler, std::function<void(ControlSession*)> ended);

    void begin();
    void answer(const Dictionary& message);
    // A pushed status change; only for sessions that subscribed.
    void push(const Dictionary& message);
    void subscribe() { subscribed_ = true; }
    void close();

private:
    void readHeader();
    void readBody(std::size_t length);
    void send(const Dictionary& message);
    void writeNext();
    void armIdle();
    void finishAfterWrites();

    asio::local::stream_protocol::socket socket_;
    asio::steady_timer idle_;
    const bool authorised_;
    const std::chrono::milliseconds idleLimit_;
    const Handler handler_;
    const std::function<void(ControlSession*)> ended_;
    unsigned char header_[ControlMessage::HeaderBytes] = {};
    std::string body_;
    std::deque<std::string> frames_;
    std::size_t queuedBytes_ = 0;  // in frames_
    bool writing_ = false;
    bool subscribed_ = false;
    bool closing_ = false;   // no more reads; ends once the queued frames are written
    bool closed_ = false;
};

}  // namespace sentorix::linux_system
