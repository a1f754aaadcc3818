#include "SocketAppProxyTCPFlow.h"

#include "PreparedProxyConnection.h"
#include "SocketReader.h"
#include "SocketTCPConnection.h"

#include <asio/dispatch.hpp>
#include <asio/write.hpp>

namespace sentorix::linux_system {

std::shared_ptr<SocketAppProxyTCPFlow> SocketAppProxyTCPFlow::adopt(FlowSocket socket, NEFlowMetaData metaData,
                                                                    std::shared_ptr<NWEndpoint> remoteEndpoint,
                                                                    std::string remoteHostname, bool urgentInLine) {
    return std::make_shared<SocketAppProxyTCPFlow>(std::move(socket), std::move(metaData), std::move(remoteEndpoint),
                                                   std::move(remoteHostname), urgentInLine);
}

SocketAppProxyTCPFlow::SocketAppProxyTCPFlow(FlowSocket socket, NEFlowMetaData metaData,
                                             std::shared_ptr<NWEndpoint> remoteEndpoint, std::string remoteHostname,
                                             bool urgentInLine)
    : metaData_(std::move(metaData)),
      remoteEndpoint_(std::move(remoteEndpoint)),
      remoteHostname_(std::move(remoteHostname)),
      urgentInLine_(urgentInLine),
      strand_(socket.get_executor()),
      socket_(std::move(socket)) {}

void SocketAppProxyTCPFlow::open(std::shared_ptr<NWHostEndpoint>, std::function<void(OptionalError)> completionHandler) {
    // Accepted already; the completion runs on a pool thread, as the platform's would: on this one when
    // it may, since waking another thread for it would delay every relayed flow's first byte.
    asio::dispatch(strand_, [strand = strand_, completion = std::move(completionHandler),
                             prepared = std::move(preparedProxy_), endpoint = std::move(preparedEndpoint_)]() mutable {
        const PreparedProxyConnection::Offer offer(std::move(strand), std::move(prepared), std::move(endpoint));
        completion(std::nullopt);
    });
}

void SocketAppProxyTCPFlow::prepareProxyConnection(std::shared_ptr<SocketTCPConnection> connection,
                                                   NWHostEndpoint endpoint) {
    preparedProxy_ = std::move(connection);
    preparedEndpoint_ = std::move(endpoint);
}

void SocketAppProxyTCPFlow::readData(std::function<void(NSData, OptionalError)> completionHandler) {
    asio::dispatch(strand_, [self = shared_from_this(), completion = std::move(completionHandler)]() mutable {
        if (self->readClosed_ || !self->socket_.is_open()) {
            completion({}, NSError::posix(ENOTCONN, "The flow is closed for reading"));
            return;
        }
        readWhenReadable(self->socket_, self->peekByte_, ReadMaximum, [self, completion = std::move(completion)](
                                                         NSData data, OptionalError error) mutable {
            completion(std::move(data), std::move(error));
        });
    });
}

void SocketAppProxyTCPFlow::write(NSData data, std::function<void(OptionalError)> completionHandler) {
    asio::dispatch(strand_, [self = shared_from_this(), data = std::move(data),
                             completion = std::move(completionHandler)]() mutable {
        if (self->writeClosed_ || !self->socket_.is_open()) {
            completion(NSError::posix(ENOTCONN, "The flow is closed for writing"));
            return;
        }
        auto buffer = std::make_shared<NSData>(std::move(data));
        asio::async_write(self->socket_, asio::buffer(*buffer),
                          [self, buffer, completion = std::move(completion)](const std::error_code& error, std::size_t) {
                              completion(error ? OptionalError(errorFrom(error)) : std::nullopt);
                          });
    });
}

void SocketAppProxyTCPFlow::closeReadWithError(OptionalError) {
    asio::dispatch(strand_, [self = shared_from_this()] {
        if (std::exchange(self->readClosed_, true)) {
            return;
        }
        std::error_code ignored;
        self->socket_.shutdown(asio::socket_base::shutdown_receive, ignored);
        self->closeIfDoneLocked();
    });
}

bool SocketAppProxyTCPFlow::relayWith(std::shared_ptr<NWTCPConnection> connection,
                                      std::function<void(OptionalError)> completion) {
    auto proxy = std::dynamic_pointer_cast<SocketTCPConnection>(connection);
    if (!proxy) {
        return false;
    }
    // Each socket leaves from inside its own strand, and the relay begins once both have arrived. It runs
    // on this flow's strand: the flow has nothing left to do there, and the tunnel needs no second one.
    auto relay = SpliceRelay::awaiting(strand_, std::move(completion));
    asio::dispatch(strand_, [self = shared_from_this(), relay] {
        self->relay_ = relay;
        relay->adopt(SpliceRelay::End::A, std::move(self->socket_), self->urgentInLine_);
    });
    // The proxy's socket keeps urgent data in line from where it was made.
    proxy->releaseSocket([relay](FlowSocket socket) { relay->adopt(SpliceRelay::End::B, std::move(socket), true); });
    return true;
}

void SocketAppProxyTCPFlow::closeWriteWithError(OptionalError error) {
    asio::dispatch(strand_, [self = shared_from_this(), failed = error.has_value()] {
        if (std::exchange(self->writeClosed_, true)) {
            return;
        }
        if (auto relay = self->relay_.lock()) {
            relay->stop(failed);  // the tunnel closed while the system relayed it
            return;
        }
        std::error_code ignored;
        if (failed) {
            // The application should see its connection fail, not end cleanly: reset it.
            self->socket_.set_option(asio::socket_base::linger(true, 0), ignored);
            self->readClosed_ = true;
            self->socket_.close(ignored);
            return;
        }
        self->socket_.shutdown(asio::socket_base::shutdown_send, ignored);
        self->closeIfDoneLocked();
    });
}

void SocketAppProxyTCPFlow::closeIfDoneLocked() {
    if (readClosed_ && writeClosed_) {
        std::error_code ignored;
        socket_.close(ignored);
    }
}

}  // namespace sentorix::linux_system
