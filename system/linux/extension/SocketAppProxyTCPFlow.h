#pragma once

#include "FlowStrand.h"
#include "NEAppProxyTCPFlow.h"
#include "SocketTCPConnection.h"
#include "SpliceRelay.h"

#include <asio/ip/tcp.hpp>

#include <optional>

namespace sentorix::linux_system {

// An intercepted application connection, already accepted: open completes at once, and reads, writes
// and closes act on the accepted socket, until relayWith hands the socket to a splice relay; closing
// the write side then stops that relay.
class SocketAppProxyTCPFlow : public NEAppProxyTCPFlow, public std::enable_shared_from_this<SocketAppProxyTCPFlow> {
public:
    static constexpr std::size_t ReadMaximum = 524288;

    // Nothing may be waiting on the socket: the flow runs on the socket's strand. `urgentInLine`: the
    // socket keeps urgent data in line already (the interception listener's do), so a relay need not set it.
    static std::shared_ptr<SocketAppProxyTCPFlow> adopt(FlowSocket socket, NEFlowMetaData metaData,
                                                        std::shared_ptr<NWEndpoint> remoteEndpoint,
                                                        std::string remoteHostname = {}, bool urgentInLine = false);

    const NEFlowMetaData& metaData() const override { return metaData_; }
    std::shared_ptr<NWEndpoint> remoteEndpoint() const override { return remoteEndpoint_; }
    const std::string& remoteHostname() const override { return remoteHostname_; }
    void open(std::shared_ptr<NWHostEndpoint> localEndpoint, std::function<void(OptionalError)> completionHandler) override;
    void readData(std::function<void(NSData, OptionalError)> completionHandler) override;
    void write(NSData data, std::function<void(OptionalError)> completionHandler) override;
    void closeReadWithError(OptionalError error) override;
    void closeWriteWithError(OptionalError error) override;
    // Relays in the kernel when `connection` is a SocketTCPConnection: both sockets go to a splice relay
    // on this flow's strand.
    bool relayWith(std::shared_ptr<NWTCPConnection> connection, std::function<void(OptionalError)> completion) override;

    // A connection to the proxy made for this flow ahead of its decision: offered to the provider while
    // the open completes (PreparedProxyConnection). Before the flow is handed to the provider.
    void prepareProxyConnection(std::shared_ptr<SocketTCPConnection> connection, NWHostEndpoint endpoint);

    // For a flow the provider declined: hands the untouched socket back so the system can carry it.
    FlowSocket takeSocket() { return std::move(socket_); }

    SocketAppProxyTCPFlow(FlowSocket socket, NEFlowMetaData metaData, std::shared_ptr<NWEndpoint> remoteEndpoint,
                          std::string remoteHostname, bool urgentInLine = false);

private:
    void closeIfDoneLocked();

    const NEFlowMetaData metaData_;
    const std::shared_ptr<NWEndpoint> remoteEndpoint_;
    const std::string remoteHostname_;
    const bool urgentInLine_;
    std::shared_ptr<SocketTCPConnection> preparedProxy_;  // until open
    std::optional<NWHostEndpoint> preparedEndpoint_;
    FlowStrand strand_;
    FlowSocket socket_;  // the fields below are used inside strand_ only
    std::uint8_t peekByte_ = 0;  // where a waiting read peeks
    bool readClosed_ = false;
    bool writeClosed_ = false;
    std::weak_ptr<SpliceRelay> relay_;  // once the socket is handed over
};

}  // namespace sentorix::linux_system
