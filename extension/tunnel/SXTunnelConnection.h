#pragma once

#include "ProxyConnectResponseParser.h"
#include "ProxyTunnelHandshakeWatchdog.h"
#include "SXTunnelConnectionOwner.h"
#include "monitoring/ProxyTunnelMonitoringClient.h"
#include "platform/NEAppProxyTCPFlow.h"
#include "platform/NSKeyValueObserving.h"
#include "platform/NWTCPConnection.h"
#include "platform/OSLog.h"

#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace sentorix {

// One relayed flow: its connection to the local proxy, the CONNECT handshake, the byte relay and the
// handshake watchdog. It closes exactly once, and reports back only to its owner and through events.
// Its life is one state at a time; every change of state is made under one lock, so that two threads
// never both advance the same tunnel.
class SXTunnelConnection : public NSKeyValueObserving, public std::enable_shared_from_this<SXTunnelConnection> {
public:
    using PreHandshakeFailure = SXTunnelConnectionOwner::PreHandshakeFailure;

    // The owner is held weakly: a tunnel never keeps its keeper alive.
    SXTunnelConnection(std::shared_ptr<NEAppProxyTCPFlow> flow, std::shared_ptr<NWTCPConnection> connection,
                       std::string flowId, std::string appId, double handshakeTimeout,
                       std::shared_ptr<ProxyTunnelMonitoringClient> monitoringClient,
                       std::weak_ptr<SXTunnelConnectionOwner> owner,
                       std::shared_ptr<ProxyTunnelHandshakeDeadlines> deadlines =
                           ProxyTunnelHandshakeDeadlines::system());

    static constexpr std::size_t HandshakeReadMaximum = 4096;
    static constexpr std::size_t RelayReadMaximum = 524288;

    void start();
    void close(OptionalError error);
    void observeValue(const std::string& keyPath, NWTCPConnection* object) override;

    // The CONNECT request for a target and identifiers, CR and LF removed from all three.
    static std::string connectRequest(const std::string& target, const std::string& appId, const std::string& flowId);
    // host:port, or [host]:port for an IPv6 literal; empty for an endpoint that is not a host endpoint.
    static std::string targetOf(const std::shared_ptr<NWEndpoint>& endpoint);

    const std::string& flowId() const { return flowId_; }
    bool isClosed() const;

private:
    enum class State {
        Created,
        Connecting,     // following the connection's state until it is up
        Handshaking,    // CONNECT written, its answer being read
        Established,    // answered; bytes that followed the answer on their way to the application
        Copying,        // bytes copied both ways by the tunnel
        UploadEnded,    // copying; the application has finished sending
        DownloadEnded,  // copying; the proxy has finished sending
        SystemRelay,    // the system moves the bytes
        Closed,
    };
    // The two ends the copying relay joins.
    enum class Side { Application, Proxy };

    // Moves to `to` when the tunnel is in one of `from`; false, and no change, otherwise.
    bool transition(std::initializer_list<State> from, State to, State* previous = nullptr);
    void startHandshake();
    void readConnectResponse();
    void finishSuccessfulHandshake(NSData leftoverData);
    // Offers the tunnel to the system, and copies it itself when the system declines.
    void relay();
    // Copies one direction until its end of data or the first error.
    void pipe(Side from, Side to);
    void read(Side side, std::function<void(NSData, OptionalError)> completion);
    void write(Side side, NSData data, std::function<void(OptionalError)> completion);
    static const char* nameOf(Side side);
    // One direction has ended its sending; the tunnel closes once both have.
    void directionEnded(Side from);
    // The steps of closing, for the one caller that moved the tunnel to Closed from `previous`.
    void finishClose(State previous, OptionalError error,
                     PreHandshakeFailure failure = PreHandshakeFailure::proxy);
    std::shared_ptr<ProxyTunnelHandshakeWatchdog> watchdog();
    // Disarms the watchdog and lets it go: past the handshake a tunnel keeps nothing of it.
    void retireWatchdog();
    void handshakeTimedOut();
    void emit(const ProxyTunnelMonitoringEventKind& kind, std::initializer_list<std::string_view> context,
              std::initializer_list<double> metrics = {}) const;

    // What only the way to an established tunnel needs. Let go once the tunnel is established, so that a
    // long-lived tunnel keeps none of it; until then only steps before that point read it.
    struct Handshake {
        double timeout;
        // Where the watchdog waits; the handshake's elapsed time counts on their clock.
        std::shared_ptr<ProxyTunnelHandshakeDeadlines> deadlines;
        std::shared_ptr<ProxyTunnelHandshakeWatchdog> watchdog;  // under lock_
        // Touched only by the handshake's one outstanding step at a time.
        ProxyConnectResponseParser parser;
        std::chrono::steady_clock::time_point startedAt;
    };

    const std::shared_ptr<const OSLog> log_;  // shared by every tunnel
    // Let go once the system relays the tunnel, so that an idle relayed flow keeps nothing of them: from
    // then on no step of the tunnel touches either.
    std::shared_ptr<NEAppProxyTCPFlow> flow_;
    std::shared_ptr<NWTCPConnection> connection_;
    const std::string flowId_;
    const std::string appId_;
    const std::shared_ptr<ProxyTunnelMonitoringClient> monitoringClient_;
    const std::weak_ptr<SXTunnelConnectionOwner> owner_;

    // Guards the state and the handshake's watchdog; never held across a callback or platform call.
    mutable std::mutex lock_;
    State state_ = State::Created;
    std::unique_ptr<Handshake> handshake_;

    // Descriptive only: the provider makes the connection.
    [[maybe_unused]] static constexpr std::string_view proxyHost_ = "127.0.0.1";
    [[maybe_unused]] static constexpr std::uint16_t proxyPort_ = 8080;
};

}  // namespace sentorix
