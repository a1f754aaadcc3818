#include "ServiceConnection.h"

#include "NSNotificationCenter.h"
#include "UniqueFd.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace sentorix::linux_system {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::optional<NEVPNStatus> statusIn(const ControlMessage::Dictionary& message) {
    const auto found = message.find("status");
    const auto* number = found == message.end() ? nullptr : found->second.get<std::int64_t>();
    if (!number || *number < 0 || *number > static_cast<std::int64_t>(NEVPNStatus::disconnecting)) {
        return std::nullopt;
    }
    return static_cast<NEVPNStatus>(*number);
}

}  // namespace

ServiceConnection::ServiceConnection(ServiceClient client, std::string extensionIdentifier)
    : client_(std::move(client)), extensionIdentifier_(std::move(extensionIdentifier)) {
    listener_ = std::thread([this] { listen(); });
}

ServiceConnection::~ServiceConnection() {
    stopping_ = true;
    listener_.join();
}

NEVPNStatus ServiceConnection::status() const {
    // Asked each time: a status read right after a start must not be the last one pushed.
    const auto answer = client_.ask({{"request", "status"}}, 5s);
    const auto status = answer ? statusIn(*answer) : std::nullopt;
    return status.value_or(NEVPNStatus::disconnected);
}

OptionalError ServiceConnection::startVPNTunnel() {
    const auto started = client_.ask({{"request", "start"}, {"extension", extensionIdentifier_}}, 60s);
    return started ? OptionalError() : OptionalError(started.error());
}

void ServiceConnection::stopVPNTunnel() {
    // A stop the service cannot hear has nothing to stop: its extension ends with it.
    static_cast<void>(client_.ask({{"request", "stop"}}, 60s));
}

void ServiceConnection::update(NEVPNStatus status) {
    {
        std::lock_guard lock(mutex_);
        if (status_ == status) {
            return;
        }
        status_ = status;
    }
    NSNotificationCenter::defaultCenter().post(NEVPNStatusDidChangeNotification, this);
}

void ServiceConnection::listen() {
    // Short waits, so that the destructor is never kept waiting long.
    const auto slice = 200ms;
    while (!stopping_) {
        auto connected = client_.connect();
        const UniqueFd socket = connected ? std::move(*connected) : UniqueFd();
        bool subscribed = socket.valid() &&
                          ServiceClient::send(socket.get(), {{"request", "subscribe"}}, Clock::now() + 5s).ok();
        while (subscribed && !stopping_) {
            // Short waits for the start of a frame; once it has begun, the whole of it is read, or
            // the connection is given up: a frame half read would leave the stream out of step.
            pollfd ready{socket.get(), POLLIN, 0};
            const int polled = ::poll(&ready, 1, static_cast<int>(slice.count()));
            if (polled <= 0) {
                subscribed = polled == 0 || errno == EINTR;
                continue;
            }
            const auto message = ServiceClient::receive(socket.get(), Clock::now() + 5s);
            if (!message) {
                subscribed = false;
                continue;
            }
            if (const auto status = statusIn(*message)) {
                update(*status);
            }
        }
        if (stopping_) {
            break;
        }
        bool wasKnown = false;
        {
            std::lock_guard lock(mutex_);
            wasKnown = status_.has_value();
            status_.reset();
        }
        if (wasKnown) {
            NSNotificationCenter::defaultCenter().post(NEVPNStatusDidChangeNotification, this);
        }
        for (int waited = 0; waited < 5 && !stopping_; ++waited) {
            std::this_thread::sleep_for(slice);
        }
    }
}

}  // namespace sentorix::linux_system
