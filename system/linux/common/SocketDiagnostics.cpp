#include "SocketDiagnostics.h"

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <cstring>

namespace sentorix::linux_system {

namespace {

bool sendTo(int fd, std::uint16_t type, std::uint16_t flags, const inet_diag_req_v2& request) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = type;
    message.header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
    message.body = request;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return ::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) >= 0;
}

}  // namespace

SocketDiagnostics::SocketDiagnostics() : netlink_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}

bool SocketDiagnostics::send(const inet_diag_req_v2& request, bool dump) {
    if (!netlink_.valid()) {
        errno = EBADF;  // the socket could not be made; errno is another call's by now
        return false;
    }
    return sendTo(netlink_.get(), SOCK_DIAG_BY_FAMILY, dump ? NLM_F_DUMP : 0, request);
}

ssize_t SocketDiagnostics::receive(char* buffer, std::size_t size) { return ::recv(netlink_.get(), buffer, size, 0); }

NSError SocketDiagnostics::failed(const char* what) {
    const int number = errno;
    return failure(number, std::string("Cannot ") + what + " the kernel's socket diagnostics: " + std::strerror(number));
}

Result<void> SocketDiagnostics::destroy(std::uint8_t family, const inet_diag_sockid& id) {
    inet_diag_req_v2 request{};
    request.sdiag_family = family;
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_states = ~0u;
    request.id = id;
    if (!netlink_.valid()) {
        errno = EBADF;
        return failed("send to");
    }
    if (!sendTo(netlink_.get(), SOCK_DESTROY, NLM_F_ACK, request)) {
        return failed("send to");
    }
    alignas(nlmsghdr) char buffer[512];
    const ssize_t length = ::recv(netlink_.get(), buffer, sizeof buffer, 0);
    const auto* header = reinterpret_cast<const nlmsghdr*>(buffer);
    if (length < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) || header->nlmsg_type != NLMSG_ERROR) {
        errno = EPROTO;
        return failed("read an answer from");
    }
    if (const int code = reinterpret_cast<const nlmsgerr*>(NLMSG_DATA(header))->error; code != 0) {
        errno = -code;
        return failed("destroy a socket through");
    }
    return {};
}

}  // namespace sentorix::linux_system
