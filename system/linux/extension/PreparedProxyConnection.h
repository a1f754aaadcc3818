#pragma once

#include "FlowStrand.h"
#include "NWHostEndpoint.h"
#include "SocketTCPConnection.h"

#include <memory>
#include <optional>

namespace sentorix::linux_system {

// A connection to the local proxy opened for one flow while its first bytes were still awaited, so that
// its handshake need not wait for a connect once the flow is decided. It is offered on the thread that
// completes the flow's open, where the provider asks for its connection; one nobody takes is cancelled.
// With nothing prepared, the offer still names the flow's strand, for the connection made instead.
class PreparedProxyConnection {
public:
    class Offer {
    public:
        Offer(FlowStrand strand, std::shared_ptr<SocketTCPConnection> connection = nullptr,
              std::optional<NWHostEndpoint> endpoint = std::nullopt);
        ~Offer();
        Offer(const Offer&) = delete;
        Offer& operator=(const Offer&) = delete;

    private:
        Offer* const previous_;
        const FlowStrand strand_;
        std::shared_ptr<SocketTCPConnection> connection_;
        const std::optional<NWHostEndpoint> endpoint_;
        friend class PreparedProxyConnection;
    };

    // The connection offered on this thread, when it goes to `endpoint`; null otherwise.
    static std::shared_ptr<SocketTCPConnection> take(const NWHostEndpoint& endpoint);
    // The strand of the flow whose open completes on this thread, if any.
    static std::optional<FlowStrand> strand();
};

}  // namespace sentorix::linux_system
