#include "ServiceHeartbeat.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace sentorix::linux_system {

std::unique_ptr<ServiceHeartbeat> ServiceHeartbeat::fromEnvironment() {
    const char* value = std::getenv(Variable);
    if (!value || !*value) {
        return nullptr;
    }
    char* end = nullptr;
    const long fd = std::strtol(value, &end, 10);
    ::unsetenv(Variable);
    if (*end != '\0' || fd < 3 || fd > 1024 || ::fcntl(static_cast<int>(fd), F_GETFD) < 0) {
        return nullptr;
    }
    // Nothing the extension starts inherits it, and a full pipe never blocks a beat.
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    ::fcntl(static_cast<int>(fd), F_SETFL, ::fcntl(static_cast<int>(fd), F_GETFL) | O_NONBLOCK);
    return std::make_unique<ServiceHeartbeat>(UniqueFd(static_cast<int>(fd)));
}

ServiceHeartbeat::ServiceHeartbeat(UniqueFd pipe)
    : pipe_(std::move(pipe)),
      timer_(DispatchSourceTimer::create(DispatchQueue::create("com.sentorix.heartbeat", DispatchQueue::Kind::Serial))) {
    using namespace std::chrono_literals;
    timer_->schedule(0ms, 250ms);
    timer_->setEventHandler([this] { beat(); });
    timer_->resume();
}

ServiceHeartbeat::~ServiceHeartbeat() { timer_->cancel(); }

void ServiceHeartbeat::beat() {
    const char byte = '.';
    // A full pipe (the service is slow to read) or a gone service (EPIPE, SIGPIPE ignored) is not ours
    // to handle: the service judges by what it reads.
    [[maybe_unused]] const auto written = ::write(pipe_.get(), &byte, 1);
}

}  // namespace sentorix::linux_system
