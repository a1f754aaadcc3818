#include "ControlSession.h"

#include <asio/read.hpp>
#include <asio/write.hpp>

namespace sentorix::linux_system {

ControlSession::ControlSession(asio::local::stream_protocol::socket socket, bool authorised,
                               std::chrono::milliseconds idle, Handler handler,
                               std::function<void(ControlSession*)> ended)
    : socket_(std::move(socket)),
      idle_(socket_.get_executor()),
      authorised_(authorised),
      idleLimit_(idle),
      handler_(std::move(handler)),
      ended_(std::move(ended)) {}

void ControlSession::begin() {
    if (!authorised_) {
        // Told at once and let go: a refused peer never holds a place among the clients.
        send(ControlMessage::failure(NSError(ControlMessage::ErrorDomain, ControlMessage::PermissionDenied,
                                             "permission denied: only root and members of the group sentorix may "
                                             "ask the Sentorix service")));
        finishAfterWrites();
        return;
    }
    readHeader();
}

void ControlSession::armIdle() {
    idle_.expires_after(idleLimit_);
    idle_.async_wait([weak = weak_from_this()](const std::error_code& error) {
        auto self = weak.lock();
        if (!error && self && !self->subscribed_) {
            self->close();
        }
    });
}

void ControlSession::readHeader() {
    armIdle();
    asio::async_read(socket_, asio::buffer(header_),
                     [self = shared_from_this()](const std::error_code& error, std::size_t) {
                         if (error) {
                             self->close();
                             return;
                         }
                         const auto length = ControlMessage::bodyLength(self->header_);
                         if (length > ControlMessage::MaxBodyBytes) {
                             // The rest is never read: the connection ends after this answer.
                             self->send(ControlMessage::failure(NSError(
                                 ControlMessage::ErrorDomain, ControlMessage::BadRequest,
                                 "The request is larger than " + std::to_string(ControlMessage::MaxBodyBytes) +
                                     " bytes")));
                             self->finishAfterWrites();
                             return;
                         }
                         self->readBody(length);
                     });
}

void ControlSession::readBody(std::size_t length) {
    body_.assign(length, '\0');
    asio::async_read(socket_, asio::buffer(body_), [self = shared_from_this()](const std::error_code& error, std::size_t) {
        if (error) {
            self->close();
            return;
        }
        self->idle_.cancel();
        auto request = ControlMessage::parse(self->body_);
        self->body_.clear();
        self->body_.shrink_to_fit();
        if (!request) {
            self->answer(ControlMessage::failure(
                NSError(ControlMessage::ErrorDomain, ControlMessage::BadRequest, "Malformed request: " + request.error().localizedDescription())));
            return;
        }
        self->handler_(self, std::move(*request));
    });
}

void ControlSession::answer(const Dictionary& message) {
    if (closed_) {
        return;
    }
    send(message);
    if (!closing_) {
        readHeader();
    }
}

void ControlSession::push(const Dictionary& message) {
    if (subscribed_) {
        send(message);
    }
}

void ControlSession::send(const Dictionary& message) {
    if (closed_) {
        return;
    }
    if (frames_.size() >= MaxQueuedFrames) {
        close();  // a client that does not read its answers
        return;
    }
    auto frame = ControlMessage::frame(message, ControlMessage::MaxAnswerBytes);
    if (!frame) {
        frame = ControlMessage::frame(ControlMessage::failure(
            NSError(ControlMessage::ErrorDomain, ControlMessage::BadRequest, "The answer cannot be sent")));
    }
    if (!frames_.empty() && queuedBytes_ + frame->size() > MaxQueuedBytes) {
        close();  // asks and does not read: what it asked for would pile up in the service
        return;
    }
    queuedBytes_ += frame->size();
    frames_.push_back(std::move(*frame));
    writeNext();
}

void ControlSession::writeNext() {
    if (writing_ || frames_.empty() || closed_) {
        return;
    }
    writing_ = true;
    asio::async_write(socket_, asio::buffer(frames_.front()),
                      [self = shared_from_this()](const std::error_code& error, std::size_t) {
                          self->writing_ = false;
                          if (self->closed_) {
                              return;  // its frames went with it
                          }
                          if (error) {
                              self->close();
                              return;
                          }
                          self->queuedBytes_ -= self->frames_.front().size();
                          self->frames_.pop_front();
                          if (self->frames_.empty() && self->closing_) {
                              self->close();
                              return;
                          }
                          self->writeNext();
                      });
}

void ControlSession::finishAfterWrites() {
    closing_ = true;
    if (frames_.empty() && !writing_) {
        close();
    }
}

void ControlSession::close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    idle_.cancel();
    std::error_code ignored;
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    socket_.close(ignored);
    ended_(this);
}

}  // namespace sentorix::linux_system
