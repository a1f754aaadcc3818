#pragma once

#include <string>

namespace sentorix {

// What a tunnel tells whoever keeps it. Each call comes at most once per tunnel, on whatever thread the
// tunnel is running on, and never with a lock of the tunnel held.
class SXTunnelConnectionOwner {
public:
    // Why a tunnel ended with an error before its handshake succeeded. The proxy failed when its connection
    // did; a handshake timing out once the request was written may be the destination's slowness instead.
    enum class PreHandshakeFailure { proxy, handshakeTimedOut };

    // The proxy answered the CONNECT with success.
    virtual void tunnelEstablished(const std::string& flowId) = 0;
    // The tunnel ended with an error before that; `target` is its host:port.
    virtual void tunnelFailedBeforeEstablished(PreHandshakeFailure failure, const std::string& target) = 0;
    // The tunnel has closed, whatever the reason; it reports nothing after this.
    virtual void tunnelClosed(const std::string& flowId) = 0;

protected:
    ~SXTunnelConnectionOwner() = default;
};

}  // namespace sentorix
