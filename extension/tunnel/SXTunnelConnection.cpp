#include "SXTunnelConnection.h"

#include "platform/NSBundle.h"
#include "platform/NWHostEndpoint.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace sentorix {

namespace {

namespace Events = ProxyTunnelMonitoringEvents;

std::string withoutLineBreaks(std::string text) {
    std::erase(text, '\r');
    std::erase(text, '\n');
    return text;
}

// Every tunnel logs under the same names: one handle for all of them rather than a copy each.
std::shared_ptr<const OSLog> tunnelLog() {
    struct Shared {
        std::mutex mutex;
        std::shared_ptr<const OSLog> log;
    };
    // Never destroyed: tunnels on the dispatch pool's threads may outlive the teardown of statics.
    static Shared* const shared = new Shared;
    const std::string subsystem = NSBundle::mainBundleIdentifier().value_or("SentorixNetworkExtension");
    std::lock_guard lock(shared->mutex);
    if (!shared->log || shared->log->subsystem() != subsystem) {
        shared->log = std::make_shared<const OSLog>(subsystem, "SentorixProxy", OSLog::Volume::perFlow);
    }
    return shared->log;
}

}  // namespace

SXTunnelConnection::SXTunnelConnection(std::shared_ptr<NEAppProxyTCPFlow> flow,
                                       std::shared_ptr<NWTCPConnection> connection, std::string flowId,
                                       std::string appId, double handshakeTimeout,
                                       std::shared_ptr<ProxyTunnelMonitoringClient> monitoringClient,
                                       std::weak_ptr<SXTunnelConnectionOwner> owner,
                                       std::shared_ptr<ProxyTunnelHandshakeDeadlines> deadlines)
    : log_(tunnelLog()),
      flow_(std::move(flow)),
      connection_(std::move(connection)),
      flowId_(std::move(flowId)),
      appId_(std::move(appId)),
      monitoringClient_(std::move(monitoringClient)),
      owner_(std::move(owner)),
      handshake_(std::make_unique<Handshake>(
          Handshake{handshakeTimeout, deadlines, nullptr, {}, deadlines->timers()->now()})) {}

bool SXTunnelConnection::isClosed() const {
    std::lock_guard lock(lock_);
    return state_ == State::Closed;
}

bool SXTunnelConnection::transition(std::initializer_list<State> from, State to, State* previous) {
    std::lock_guard lock(lock_);
    if (std::find(from.begin(), from.end(), state_) == from.end()) {
        return false;
    }
    if (previous) {
        *previous = state_;
    }
    state_ = to;
    return true;
}

std::shared_ptr<ProxyTunnelHandshakeWatchdog> SXTunnelConnection::watchdog() {
    std::lock_guard lock(lock_);
    if (!handshake_->watchdog) {
        handshake_->watchdog = std::make_shared<ProxyTunnelHandshakeWatchdog>(
            handshake_->timeout, handshake_->deadlines, [weak = weak_from_this()] {
                if (auto self = weak.lock()) {
                    self->handshakeTimedOut();
                }
            });
    }
    return handshake_->watchdog;
}

void SXTunnelConnection::retireWatchdog() {
    std::shared_ptr<ProxyTunnelHandshakeWatchdog> retired;
    {
        std::lock_guard lock(lock_);
        if (handshake_) {
            retired = std::move(handshake_->watchdog);
        }
    }
    if (retired) {
        retired->finishWithoutCallback();
    }
}

void SXTunnelConnection::emit(const ProxyTunnelMonitoringEventKind& kind,
                              std::initializer_list<std::string_view> context,
                              std::initializer_list<double> metrics) const {
    monitoringClient_->report(kind, flowId_, context, metrics);
}

// Lifecycle

void SXTunnelConnection::start() {
    watchdog()->start();
    if (!transition({State::Created}, State::Connecting)) {  // a limit of zero or less fired during start
        return;
    }
    // Once observed, the connection may carry the tunnel through its handshake to the system's relay on
    // another thread, which lets go of connection_: the member is not read again here.
    const auto connection = connection_;
    connection->addObserver(weak_from_this(), "state");
    // What happened before the observer was in place counts too: connected, or failed already.
    observeValue("state", connection.get());
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
    State previous = State::Closed;
    if (transition({State::Created, State::Connecting, State::Handshaking, State::Established, State::Copying,
                    State::UploadEnded, State::DownloadEnded, State::SystemRelay},
                   State::Closed, &previous)) {
        finishClose(previous, std::move(error));
    }
}

void SXTunnelConnection::finishClose(State previous, OptionalError error, PreHandshakeFailure failure) {
    if (previous == State::Connecting) {
        connection_->removeObserver(this, "state");
    }
    retireWatchdog();
    const bool established = previous != State::Created && previous != State::Connecting &&
                             previous != State::Handshaking;
    if (error && !established) {
        if (const auto owner = owner_.lock()) {
            owner->tunnelFailedBeforeEstablished(failure, flow_ ? targetOf(flow_->remoteEndpoint()) : std::string());
        }
    }
    emit(error ? Events::tunnelClosedWithError : Events::tunnelClosed,
         {appId_, error ? std::string_view(error->localizedDescription()) : std::string_view("eof")});
    if (previous != State::SystemRelay) {  // the system has closed both sides already
        flow_->closeReadWithError(error);
        flow_->closeWriteWithError(error);
        connection_->cancel();
    }
    if (const auto owner = owner_.lock()) {
        owner->tunnelClosed(flowId_);
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
    // The connected notification and start() can both see the connection up; only one handshake.
    if (!transition({State::Connecting}, State::Handshaking)) {
        return;
    }
    connection_->removeObserver(this, "state");
    handshake_->startedAt = handshake_->deadlines->timers()->now();
    const std::string target = targetOf(flow_->remoteEndpoint());
    const std::string request = connectRequest(target, appId_, flowId_);

    log_->notice("SentorixProxy: Sending CONNECT handshake (details private)");
    emit(Events::handshakeStarted, {appId_, target});
    // A local reference: the completion may carry the tunnel on to the system's relay, which lets go of
    // connection_, while this call is still returning.
    const auto connection = connection_;
    connection->write(NSData(request.begin(), request.end()), [weak = weak_from_this()](OptionalError error) {
        auto self = weak.lock();
        if (error) {
            (self ? *self->log_ : OSLog::defaultLog())
                .error("SentorixProxy: Error writing CONNECT: " + error->localizedDescription());
            if (self && !self->isClosed()) {
                self->emit(Events::handshakeWriteFailed, {error->localizedDescription()});
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
    const auto connection = connection_;  // see startHandshake
    connection->readMinimumLength(1, HandshakeReadMaximum, [weak = weak_from_this()](NSData data, OptionalError error) {
        auto self = weak.lock();
        // Once closed (the watchdog fired, or any other close), a late answer does nothing at all.
        if (!self || self->isClosed()) {
            return;
        }
        if (error) {
            self->emit(Events::handshakeReadFailed, {error->localizedDescription()});
            self->close(error);
            return;
        }
        if (data.empty()) {
            self->close(std::nullopt);
            return;
        }
        auto outcome = self->handshake_->parser.append(data);
        using O = ProxyConnectResponseOutcome;
        if (outcome.is<O::established>()) {
            self->log_->info("SentorixProxy: Handshake successful.");
            self->finishSuccessfulHandshake(std::move(std::get<O::established>(outcome.value).leftover));
        } else if (outcome.is<O::rejected>()) {
            self->log_->error("SentorixProxy: Handshake failed (response status not 200)");
            const auto& statusLine = outcome.as<O::rejected>().statusLine;
            self->emit(Events::handshakeRejected,
                       {self->appId_, statusLine ? std::string_view(*statusLine) : std::string_view("<missing>")});
            self->close(std::nullopt);
        } else if (outcome.is<O::invalid>()) {
            self->log_->error("SentorixProxy: Handshake failed (invalid response)");
            self->emit(Events::handshakeInvalid, {self->appId_, outcome.as<O::invalid>().reason});
            self->close(std::nullopt);
        } else {
            self->readConnectResponse();
        }
    });
}

void SXTunnelConnection::finishSuccessfulHandshake(NSData leftoverData) {
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(handshake_->deadlines->timers()->now() - handshake_->startedAt).count();
    std::unique_ptr<Handshake> handshake;
    {
        std::lock_guard lock(lock_);
        if (state_ != State::Handshaking) {
            return;  // closed or timed out meanwhile: no callback, no event, no relay
        }
        state_ = State::Established;
        handshake = std::move(handshake_);
    }
    if (handshake->watchdog) {
        handshake->watchdog->finishWithoutCallback();
    }
    if (const auto owner = owner_.lock()) {
        owner->tunnelEstablished(flowId_);
    }
    emit(Events::handshakeSucceeded, {appId_}, {elapsedMs, static_cast<double>(leftoverData.size())});
    if (leftoverData.empty()) {
        relay();
        return;
    }
    // Nothing is read from the application meanwhile: the system may yet take both directions.
    const auto flow = flow_;  // its completion may hand the tunnel to the system, which lets go of flow_
    flow->write(std::move(leftoverData), [weak = weak_from_this()](OptionalError error) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (error) {
            self->log_->debug("SentorixProxy: App write error: " + error->localizedDescription());
            self->emit(Events::handshakeLeftoverWriteFailed, {error->localizedDescription()});
            self->close(error);
            return;
        }
        self->relay();
    });
}

void SXTunnelConnection::handshakeTimedOut() {
    // The watchdog can fire in the same instant the answer succeeds: whichever moves the tunnel on first
    // wins, and the other does nothing.
    State previous = State::Closed;
    if (!transition({State::Created, State::Connecting, State::Handshaking}, State::Closed, &previous)) {
        return;
    }
    const NSError error(NSError::SentorixDomain, 1002, "Proxy CONNECT handshake timed out");
    log_->error("SentorixProxy: CONNECT handshake timed out");
    emit(Events::handshakeTimedOut, {appId_}, {handshake_->timeout});
    // Connected and asked, the proxy may still be reaching the destination; not connected, it is the proxy.
    finishClose(previous, error,
                previous == State::Handshaking ? PreHandshakeFailure::handshakeTimedOut : PreHandshakeFailure::proxy);
}

// Relay. The system relays when it can; otherwise each direction keeps one read or one write outstanding.
// Either way an end of data half-closes towards the other side, and the tunnel closes when both
// directions have ended or at the first error.

void SXTunnelConnection::relay() {
    {
        std::lock_guard lock(lock_);
        if (state_ != State::Established) {
            return;
        }
    }
    const bool bySystem = flow_->relayWith(connection_, [weak = weak_from_this()](OptionalError error) {
        if (auto self = weak.lock()) {
            self->close(std::move(error));
        }
    });
    // The system's completion may have closed the tunnel already; then there is nothing left to start.
    if (!transition({State::Established}, bySystem ? State::SystemRelay : State::Copying)) {
        return;
    }
    if (bySystem) {
        flow_.reset();
        connection_.reset();
        return;
    }
    pipe(Side::Application, Side::Proxy);
    pipe(Side::Proxy, Side::Application);
}

const char* SXTunnelConnection::nameOf(Side side) { return side == Side::Application ? "App" : "Proxy"; }

void SXTunnelConnection::read(Side side, std::function<void(NSData, OptionalError)> completion) {
    if (side == Side::Application) {
        flow_->readData(std::move(completion));
    } else {
        connection_->readMinimumLength(1, RelayReadMaximum, std::move(completion));
    }
}

void SXTunnelConnection::write(Side side, NSData data, std::function<void(OptionalError)> completion) {
    if (side == Side::Application) {
        flow_->write(std::move(data), std::move(completion));
    } else {
        connection_->write(std::move(data), std::move(completion));
    }
}

void SXTunnelConnection::pipe(Side from, Side to) {
    if (isClosed()) {
        return;
    }
    // Reads hold the tunnel weakly, so a released tunnel goes at its next chunk; writes hold it.
    read(from, [weak = weak_from_this(), from, to](NSData data, OptionalError error) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (error) {
            self->log_->debug(std::string("SentorixProxy: ") + nameOf(from) +
                             " read error: " + error->localizedDescription());
            self->close(error);
            return;
        }
        if (data.empty()) {
            self->directionEnded(from);
            return;
        }
        if (self->isClosed()) {
            return;  // both ends are closed already: nowhere to deliver the chunk
        }
        self->write(to, std::move(data), [self, from, to](OptionalError writeError) {
            if (writeError) {
                self->log_->debug(std::string("SentorixProxy: ") + nameOf(to) +
                                 " write error: " + writeError->localizedDescription());
                self->close(writeError);
                return;
            }
            self->pipe(from, to);
        });
    });
}

void SXTunnelConnection::directionEnded(Side from) {
    const State ended = from == Side::Application ? State::UploadEnded : State::DownloadEnded;
    const State otherEnded = from == Side::Application ? State::DownloadEnded : State::UploadEnded;
    State previous = State::Closed;
    {
        // One decision for both cases: two directions ending at once still close exactly once.
        std::lock_guard lock(lock_);
        previous = state_;
        if (previous == State::Copying) {
            state_ = ended;
        } else if (previous == otherEnded) {
            state_ = State::Closed;
        } else {
            return;
        }
    }
    if (previous == otherEnded) {
        finishClose(previous, std::nullopt);
    } else if (from == Side::Application) {
        connection_->writeClose();
    } else {
        flow_->closeWriteWithError(std::nullopt);
    }
}

}  // namespace sentorix
