#include "SXTunnelConnection.h"

#include "platform/NSBundle.h"
#include "platform/NWHostEndpoint.h"

#include <algorithm>
#include <utility>

namespace sentorix {

namespace {

std::string withoutLineBreaks(std::string text) {
    std::erase(text, '\r');
    std::erase(text, '\n');
    return text;
}

}  // namespace

SXTunnelConnection::SXTunnelConnection(std::shared_ptr<NEAppProxyTCPFlow> flow,
                                       std::shared_ptr<NWTCPConnection> connection, std::string flowId,
                                       std::string appId, double handshakeTimeout,
                                       std::shared_ptr<ProxyTunnelMonitoringClient> monitoringClient,
                                       std::function<void(const std::string&)> onHandshakeEstablished,
                                       std::function<void()> onProxyUnavailable,
                                       std::function<void(const std::string&)> onClose,
                                       std::shared_ptr<DispatchTimerFactory> timers)
    : log_(NSBundle::mainBundleIdentifier().value_or("SentorixNetworkExtension"), "SentorixProxy"),
      flow_(std::move(flow)),
      connection_(std::move(connection)),
      flowId_(std::move(flowId)),
      appId_(std::move(appId)),
      handshakeTimeout_(handshakeTimeout),
      monitoringClient_(std::move(monitoringClient)),
      onHandshakeEstablished_(std::move(onHandshakeEstablished)),
      onProxyUnavailable_(std::move(onProxyUnavailable)),
      onClose_(std::move(onClose)),
      timers_(std::move(timers)),
      handshakeStartedAt_(timers_->now()) {}

bool SXTunnelConnection::isClosed() const {
    std::lock_guard lock(lock_);
    return isClosed_;
}

std::shared_ptr<ProxyTunnelHandshakeWatchdog> SXTunnelConnection::watchdog() {
    std::lock_guard lock(lock_);
    if (!handshakeWatchdog_) {
        handshakeWatchdog_ = std::make_shared<ProxyTunnelHandshakeWatchdog>(
            handshakeTimeout_, DispatchQueue::create("com.sentorix.handshakeWatchdog", DispatchQueue::Kind::Serial),
            [weak = weak_from_this()] {
                if (auto self = weak.lock()) {
                    self->handshakeTimedOut();
                }
            },
            timers_);
    }
    return handshakeWatchdog_;
}

void SXTunnelConnection::emit(const std::string& signal, const std::string& level, const std::string& code,
                              const std::string& message, std::optional<ProxyTunnelMonitoringEvent::Metrics> metrics,
                              ProxyTunnelMonitoringEvent::Context context) const {
    monitoringClient_->emit(ProxyTunnelMonitoringEvent(signal, flowId_, level, code, message, std::move(metrics),
                                                       std::move(context)));
}

// Lifecycle

void SXTunnelConnection::start() {
    watchdog()->start();
    {
        std::lock_guard lock(lock_);
        if (isClosed_) {  // a limit of zero or less fired during start
            return;
        }
        isObserving_ = true;
    }
    connection_->addObserver(weak_from_this(), "state");
    if (connection_->state() == NWTCPConnectionState::Connected) {
        startHandshake();
    }
}

void SXTunnelConnection::observeValue(const std::string& keyPath, NWTCPConnection* object) {
    if (keyPath != "state" || object == nullptr) {
        return;
    }
    switch (object->state()) {
    case NWTCPConnectionState::Connected:
        startHandshake();
        break;
    case NWTCPConnectionState::Disconnected:
        close(object->error());
        break;
    case NWTCPConnectionState::Cancelled:
        close(std::nullopt);
        break;
    case NWTCPConnectionState::Invalid:
    case NWTCPConnectionState::Connecting:
    case NWTCPConnectionState::Waiting:
        break;
    }
}

void SXTunnelConnection::close(OptionalError error) {
    bool wasObserving;
    bool established;
    {
        std::lock_guard lock(lock_);
        if (isClosed_) {
            return;
        }
        isClosed_ = true;
        wasObserving = std::exchange(isObserving_, false);
        established = didEstablishHandshake_;
    }
    if (wasObserving) {
        connection_->removeObserver(this, "state");
    }
    watchdog()->finishWithoutCallback();
    if (error && !established && onProxyUnavailable_) {
        onProxyUnavailable_();
    }
    emit("tunnel_closed", error ? "error" : "info", "extension.tunnel_closed",
         error ? "Tunnel closed with error" : "Tunnel closed", std::nullopt,
         {{"app_id", appId_}, {"detail", error ? error->localizedDescription() : "eof"}});
    flow_->closeReadWithError(error);
    flow_->closeWriteWithError(error);
    connection_->cancel();
    if (onClose_) {
        onClose_(flowId_);
    }
}

// Handshake

std::string SXTunnelConnection::targetOf(const std::shared_ptr<NWEndpoint>& endpoint) {
    const auto* host = dynamic_cast<const NWHostEndpoint*>(endpoint.get());
    if (!host) {
        return "";
    }
    if (host->hostname().find(':') != std::string::npos) {
        return "[" + host->hostname() + "]:" + host->port();
    }
    return host->hostname() + ":" + host->port();
}

std::string SXTunnelConnection::connectRequest(const std::string& target, const std::string& appId,
                                               const std::string& flowId) {
    // CR and LF would let a crafted host name add headers of its own, so the target loses them too.
    const std::string cleanTarget = withoutLineBreaks(target);
    return "CONNECT " + cleanTarget + " HTTP/1.1\r\n" + "Host: " + cleanTarget + "\r\n" +
           "X-Sentorix-App-Id: " + withoutLineBreaks(appId) + "\r\n" + "X-Sentorix-Flow-Id: " +
           withoutLineBreaks(flowId) + "\r\n\r\n";
}

void SXTunnelConnection::startHandshake() {
    bool wasObserving;
    {
        std::lock_guard lock(lock_);
        // The connected notification and start() can both see the connection up; only one handshake.
        if (isClosed_ || std::exchange(handshakeStarted_, true)) {
            return;
        }
        wasObserving = std::exchange(isObserving_, false);
    }
    if (wasObserving) {
        connection_->removeObserver(this, "state");
    }
    handshakeStartedAt_ = timers_->now();
    const std::string target = targetOf(flow_->remoteEndpoint());
    const std::string request = connectRequest(target, appId_, flowId_);

    log_.notice("SentorixProxy: Sending CONNECT handshake (details private)");
    emit("connect_handshake_started", "info", "extension.connect_handshake_started", "Starting CONNECT handshake",
         std::nullopt, {{"app_id", appId_}, {"remote", target}});
    connection_->write(NSData(request.begin(), request.end()), [weak = weak_from_this()](OptionalError error) {
        auto self = weak.lock();
        if (error) {
            (self ? self->log_ : OSLog::defaultLog())
                .error("SentorixProxy: Error writing CONNECT: " + error->localizedDescription());
            if (self && !self->isClosed()) {
                self->emit("connect_handshake_write_failed", "error", "extension.connect_handshake_write_failed",
                           "Failed to write CONNECT handshake", std::nullopt,
                           {{"detail", error->localizedDescription()}});
                self->close(error);
            }
            return;
        }
        if (self) {
            self->readConnectResponse();
        }
    });
}

void SXTunnelConnection::readConnectResponse() {
    connection_->readMinimumLength(1, HandshakeReadMaximum, [weak = weak_from_this()](NSData data, OptionalError error) {
        auto self = weak.lock();
        // Once closed (the watchdog fired, or any other close), a late answer does nothing at all.
        if (!self || self->isClosed()) {
            return;
        }
        if (error) {
            self->emit("connect_handshake_read_failed", "error", "extension.connect_handshake_read_failed",
                       "Failed to read CONNECT response", std::nullopt, {{"detail", error->localizedDescription()}});
            self->close(error);
            return;
        }
        if (data.empty()) {
            self->close(std::nullopt);
            return;
        }
        auto outcome = self->connectResponseParser_.append(data);
        using O = ProxyConnectResponseOutcome;
        if (outcome.is<O::established>()) {
            self->log_.info("SentorixProxy: Handshake successful.");
            self->finishSuccessfulHandshake(std::move(std::get<O::established>(outcome.value).leftover));
        } else if (outcome.is<O::rejected>()) {
            self->log_.error("SentorixProxy: Handshake failed (response status not 200)");
            self->emit("connect_handshake_rejected", "error", "extension.connect_handshake_non_200",
                       "CONNECT handshake failed with non-200 status", std::nullopt,
                       {{"app_id", self->appId_},
                        {"status_line", outcome.as<O::rejected>().statusLine.value_or("<missing>")}});
            self->close(std::nullopt);
        } else if (outcome.is<O::invalid>()) {
            self->log_.error("SentorixProxy: Handshake failed (invalid response)");
            self->emit("connect_handshake_invalid", "error", "extension.connect_handshake_invalid",
                       "CONNECT handshake response was invalid", std::nullopt,
                       {{"app_id", self->appId_}, {"reason", outcome.as<O::invalid>().reason}});
            self->close(std::nullopt);
        } else {
            self->readConnectResponse();
        }
    });
}

void SXTunnelConnection::finishSuccessfulHandshake(NSData leftoverData) {
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(timers_->now() - handshakeStartedAt_).count();
    {
        std::lock_guard lock(lock_);
        if (isClosed_ || timedOut_ || didEstablishHandshake_) {
            return;  // closed or timed out meanwhile: no callback, no event, no relay
        }
        didEstablishHandshake_ = true;
    }
    watchdog()->finishWithoutCallback();
    if (onHandshakeEstablished_) {
        onHandshakeEstablished_(flowId_);
    }
    emit("connect_handshake_succeeded", "info", "extension.connect_handshake_succeeded", "CONNECT handshake completed",
         ProxyTunnelMonitoringEvent::Metrics{{"elapsed_ms", elapsedMs},
                                             {"leftover_bytes", static_cast<double>(leftoverData.size())}},
         {{"app_id", appId_}});
    pipeLocalToRemote();
    if (leftoverData.empty()) {
        pipeRemoteToLocal();
        return;
    }
    flow_->write(std::move(leftoverData), [weak = weak_from_this()](OptionalError error) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (error) {
            self->log_.debug("SentorixProxy: App write error: " + error->localizedDescription());
            self->emit("connect_handshake_leftover_write_failed", "error",
                       "extension.connect_handshake_leftover_write_failed", "Failed to forward CONNECT leftover bytes",
                       std::nullopt, {{"detail", error->localizedDescription()}});
            self->close(error);
            return;
        }
        self->pipeRemoteToLocal();
    });
}

void SXTunnelConnection::handshakeTimedOut() {
    {
        // The watchdog can fire in the same instant the answer succeeds: whichever claims the tunnel
        // first under the lock wins, and the other does nothing.
        std::lock_guard lock(lock_);
        if (isClosed_ || didEstablishHandshake_) {
            return;
        }
        timedOut_ = true;
    }
    const NSError error(NSError::SentorixDomain, 1002, "Proxy CONNECT handshake timed out");
    log_.error("SentorixProxy: CONNECT handshake timed out");
    emit("connect_handshake_timed_out", "error", "extension.connect_handshake_timed_out", "CONNECT handshake timed out",
         ProxyTunnelMonitoringEvent::Metrics{{"timeout_seconds", handshakeTimeout_}}, {{"app_id", appId_}});
    close(error);
}

// Relay. Each direction keeps one read or one write outstanding; an end of data half-closes towards the
// other side and the tunnel closes when both directions have ended or on the first error.

void SXTunnelConnection::pipeLocalToRemote() {
    if (isClosed()) {
        return;
    }
    flow_->readData([weak = weak_from_this()](NSData data, OptionalError error) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (error) {
            self->log_.debug("SentorixProxy: App read error: " + error->localizedDescription());
            self->close(error);
            return;
        }
        if (data.empty()) {
            self->directionEnded(/*fromApplication=*/true);
            return;
        }
        if (self->isClosed()) {
            return;  // both ends are closed already: nowhere to deliver the chunk
        }
        self->connection_->write(std::move(data), [self](OptionalError writeError) {
            if (writeError) {
                self->log_.debug("SentorixProxy: Proxy write error: " + writeError->localizedDescription());
                self->close(writeError);
                return;
            }
            self->pipeLocalToRemote();
        });
    });
}

void SXTunnelConnection::pipeRemoteToLocal() {
    if (isClosed()) {
        return;
    }
    connection_->readMinimumLength(1, RelayReadMaximum, [weak = weak_from_this()](NSData data, OptionalError error) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (error) {
            self->log_.debug("SentorixProxy: Proxy read error: " + error->localizedDescription());
            self->close(error);
            return;
        }
        if (data.empty()) {
            self->directionEnded(/*fromApplication=*/false);
            return;
        }
        if (self->isClosed()) {
            return;
        }
        self->flow_->write(std::move(data), [self](OptionalError writeError) {
            if (writeError) {
                self->log_.debug("SentorixProxy: App write error: " + writeError->localizedDescription());
                self->close(writeError);
                return;
            }
            self->pipeRemoteToLocal();
        });
    });
}

void SXTunnelConnection::directionEnded(bool fromApplication) {
    bool bothEnded;
    {
        std::lock_guard lock(lock_);
        if (isClosed_) {
            return;
        }
        (fromApplication ? applicationEnded_ : proxyEnded_) = true;
        bothEnded = applicationEnded_ && proxyEnded_;
    }
    if (bothEnded) {
        close(std::nullopt);
    } else if (fromApplication) {
        connection_->writeClose();
    } else {
        flow_->closeWriteWithError(std::nullopt);
    }
}

}  // namespace sentorix
