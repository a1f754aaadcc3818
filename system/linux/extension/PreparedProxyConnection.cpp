#include "PreparedProxyConnection.h"

namespace sentorix::linux_system {

namespace {

thread_local PreparedProxyConnection::Offer* current = nullptr;

}  // namespace

PreparedProxyConnection::Offer::Offer(FlowStrand strand, std::shared_ptr<SocketTCPConnection> connection,
                                      std::optional<NWHostEndpoint> endpoint)
    : previous_(current), strand_(std::move(strand)), connection_(std::move(connection)), endpoint_(std::move(endpoint)) {
    current = this;
}

PreparedProxyConnection::Offer::~Offer() {
    current = previous_;
    if (connection_) {
        connection_->cancel();
    }
}

std::shared_ptr<SocketTCPConnection> PreparedProxyConnection::take(const NWHostEndpoint& endpoint) {
    if (!current || !current->connection_ || !current->endpoint_ || !(*current->endpoint_ == endpoint)) {
        return nullptr;
    }
    const auto state = current->connection_->state();
    if (state != NWTCPConnectionState::Connecting && state != NWTCPConnectionState::Connected) {
        return nullptr;  // failed already: a fresh connection reports that the usual way
    }
    return std::move(current->connection_);
}

std::optional<FlowStrand> PreparedProxyConnection::strand() {
    return current ? std::optional<FlowStrand>(current->strand_) : std::nullopt;
}

}  // namespace sentorix::linux_system
