#pragma once

#include "ControlMessage.h"
#include "NSError.h"
#include "UniqueFd.h"

#include <chrono>
#include <optional>
#include <string>

namespace sentorix::linux_system {

// Asks the service: one request on a connection of its own, its answer read within a bound. Calls
// block; the host makes them from its store's and connection's own queues, never its main thread's
// event handling.
class ServiceClient {
public:
    using Dictionary = ControlMessage::Dictionary;

    explicit ServiceClient(std::string socketPath = ControlMessage::socketPath()) : path_(std::move(socketPath)) {}

    // The answer's fields on success; otherwise the service's own error, or "Sentorix service is not
    // running: <socket path>" when nobody listens.
    Result<Dictionary> ask(Dictionary request, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    bool reachable() const;
    const std::string& path() const { return path_; }

    NSError notRunning() const;

    Result<UniqueFd> connect() const;
    // Frame I/O on a connected socket, bounded by `deadline`.
    static Result<void> send(int socket, const Dictionary& message, std::chrono::steady_clock::time_point deadline);
    static Result<Dictionary> receive(int socket, std::chrono::steady_clock::time_point deadline);

private:
    const std::string path_;
};

}  // namespace sentorix::linux_system
