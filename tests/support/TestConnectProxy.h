#pragma once

#include "UniqueFd.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sentorix::testing {

// A small blocking CONNECT proxy on loopback: answers 200, then copies both ways, passing each side's
// end of data on as a half-close. Keeps every request header it saw.
class TestConnectProxy {
public:
    TestConnectProxy();
    ~TestConnectProxy();

    std::uint16_t port() const { return port_; }
    std::vector<std::string> requests() const;

private:
    void serve(UniqueFd client);

    UniqueFd listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

// Copies from one descriptor to another until end of data, then half-closes the destination.
void pump(int from, int to);
// Connects to 127.0.0.1:port with a blocking socket.
UniqueFd connectLoopback(std::uint16_t port);
// A listening loopback socket on an ephemeral port.
UniqueFd listenLoopback(std::uint16_t& port);

}  // namespace sentorix::testing
