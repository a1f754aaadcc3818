#pragma once

#include <cstdint>
#include <string>

namespace sentorix {

enum class ProxyHealthProbeResult { reachable, unreachable };

// Does a TCP connection to host:port get established within the time-out? Blocks its caller for at most
// about `timeout`; no name resolution, IPv4 literals only.
class ProxyTCPReachabilityProbe {
public:
    ProxyTCPReachabilityProbe(std::string host, std::uint16_t port, double timeout)
        : host_(std::move(host)), port_(port), timeout_(timeout) {}

    ProxyHealthProbeResult check() const;

    const std::string& host() const { return host_; }
    std::uint16_t port() const { return port_; }
    double timeout() const { return timeout_; }

private:
    const std::string host_;
    const std::uint16_t port_;
    const double timeout_;
};

}  // namespace sentorix
