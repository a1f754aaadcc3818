#pragma once

#include "NWHostEndpoint.h"
#include "SocketTCPConnection.h"

#include <memory>

namespace sentorix::linux_system {

// A connection to the local proxy opened for one flow while its first bytes were still awaited, so that
// its handshake need not wait for a connect once the flow is decided. It is offered on the thread that
// completes the flow's open, where the provider asks for its connection; one nobody takes is cancelled.
class PreparedProxyConnection {
public:
    class Offer {
    public:
        Offer(std::shared_ptr<SocketTCPConnection> connection, NWHostEndpoint endpoint);
        ~Offer();
        Offer(const Offer&) = delete;
        Offer& operator=(const Offer&) = delete;

    private:
        Offer* const previous_;
        std::shared_ptr<SocketTCPConnection> connection_;
        const NWHostEndpoint endpoint_;
        friend class PreparedProxyConnection;
    };

    // The connection offered on this thread, when it goes to `endpoint`; null otherwise.
    static std::shared_ptr<SocketTCPConnection> take(const NWHostEndpoint& endpoint);
};

}  // namespace sentorix::linux_system
