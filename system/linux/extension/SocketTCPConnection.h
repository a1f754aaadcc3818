#pragma once

#include "FlowStrand.h"
#include "NWHostEndpoint.h"
#include "NWTCPConnection.h"

#include <asio/ip/tcp.hpp>

#include <mutex>
#include <optional>
#include <vector>

namespace sentorix::linux_system {

// A TCP connection that connects in the background and tells its observers about every state change.
// Host names are not resolved: the endpoint must be an IPv4 or IPv6 literal.
class SocketTCPConnection : public NWTCPConnection, public std::enable_shared_from_this<SocketTCPConnection> {
public:
    // `mark`, when set, is put on the socket (SO_MARK) so that the redirect rules leave it alone. It runs
    // on `strand` when given (the flow's it serves), on a strand of its own otherwise.
    static std::shared_ptr<SocketTCPConnection> connect(const NWHostEndpoint& endpoint,
                                                        std::optional<int> mark = std::nullopt,
                                                        std::optional<FlowStrand> strand = std::nullopt);

    NWTCPConnectionState state() const override;
    OptionalError error() const override;
    void addObserver(std::weak_ptr<NSKeyValueObserving> observer, const std::string& keyPath) override;
    void removeObserver(NSKeyValueObserving* observer, const std::string& keyPath) override;
    void write(NSData data, std::function<void(OptionalError)> completionHandler) override;
    void writeClose() override;
    void readMinimumLength(std::size_t minimum, std::size_t maximum,
                           std::function<void(NSData, OptionalError)> completionHandler) override;
    void cancel() override;

    // Gives the socket up, inside this connection's strand, to `receiver` (a closed socket when it was
    // closed already). Reads, writes and closes that follow find no socket and harm nothing.
    void releaseSocket(std::function<void(FlowSocket socket)> receiver);

    explicit SocketTCPConnection(FlowStrand strand);

private:
    void start(const NWHostEndpoint& endpoint, std::optional<int> mark);
    void setState(NWTCPConnectionState state, OptionalError error = std::nullopt);
    void readAtLeast(std::size_t minimum, std::size_t maximum, NSData collected,
                     std::function<void(NSData, OptionalError)> completion);

    struct Observer {
        std::weak_ptr<NSKeyValueObserving> observer;
        NSKeyValueObserving* raw;
        std::string keyPath;
    };

    FlowStrand strand_;
    FlowSocket socket_;  // used inside strand_ only
    std::uint8_t peekByte_ = 0;     // where a waiting read peeks
    mutable std::mutex mutex_;      // guards state, error and observers
    NWTCPConnectionState state_ = NWTCPConnectionState::Invalid;
    OptionalError error_;
    std::vector<Observer> observers_;
};

}  // namespace sentorix::linux_system
